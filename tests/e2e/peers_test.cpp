// `instrument peers` beyond what the browser drives: each option's answer, malformed messages answered -1.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

// The status and first reply word (-999: none) of one exchange; -100: the name is not served.
std::pair<long, int32_t> talk(const char* peer, const std::string& message)
{
    const int coid = name_open(peer, 0);
    if (coid < 0)
        return {-100, -999};
    int32_t reply[4] = {-999};
    const int status = MsgSend(coid, message.data(), int(message.size()), reply, sizeof reply);
    name_close(coid);
    return {status, reply[0]};
}

}  // namespace

TEST(InstrumentPeers, OptionsSetEachPeersAnswerAndBadMessagesGetAnError)
{
    quibtest::TempRoot root;
    setenv("QUIB_MSG_TIMEOUT_MS", "2000", 1);  // for the silent peer; enough under an emulator
    root.write("/tmp/f", "content");
    const int32_t four = 4;  // a DSP message's command word, in the sender's byte order
    const std::string dsp4(reinterpret_cast<const char*>(&four), 4), f = root.host("/tmp/f"),
                      dsp = dsp4 + f + ",FrmWDSP_1.hex", udp = "mode=4&UDPConf2=a.txt:" + f + '\0';
    const struct {
        std::vector<std::string> options;
        const char* peer;
        std::string message;
        std::pair<long, int32_t> answer;
    } cases[] = {
        {{"--loader-status", "1", "--loader-result", "5", "--firmware-status", "0"}, "loader", dsp, {1, 5}},
        {{"--firmware-status", "0"}, "firmware", udp, {0, -999}},
        {{"--firmware-close"}, "firmware", udp, {-1, -999}},
        {{"--loader-silent"}, "loader", dsp, {-1, -999}},
        {{"--firmware-unserved"}, "firmware", udp, {-100, -999}},
        {{}, "firmware", "garbage", {-1, -999}},
        {{}, "firmware", "mode=4&RestoreSettings=" + f, {-1, -999}},  // no terminator
        {{}, "loader", dsp4 + "nocomma", {-1, -999}},
        {{}, "loader", dsp4 + root.host("/tmp/missing") + ",x", {-1, -999}},
        {{}, "loader", dsp4 + "/dev/zero,x", {-1, -999}},
        {{}, "firmware", std::string(20000, 'm'), {-1, -999}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.substr(0, 40));
        std::vector<std::string> argv = {quibtest::binPath("instrument"), "peers", root.path()};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        FILE* out = std::tmpfile();
        const pid_t peers = quibtest::startProcess(argv, {}, 0, fileno(out), 2);
        std::string ready;
        for (int i = 0; i < 2000 && ready != "ready"; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            std::ifstream("/proc/self/fd/" + std::to_string(fileno(out))) >> ready;
        EXPECT_EQ(talk(c.peer, c.message), c.answer);
        EXPECT_TRUE(!c.options.empty() || talk("loader", dsp) == std::make_pair(4L, 0)) << "still serving";
        kill(peers, SIGTERM);
        EXPECT_EQ(quibtest::waitProcess(peers), 0);
        std::fclose(out);
    }
    unsetenv("QUIB_MSG_TIMEOUT_MS");
    EXPECT_FALSE(root.exists("/dev/name/local/loader"));
    // The file was read whole before the answer; each bad message is logged as one.
    const std::string log = root.read("/var/log/peers.jsonl");
    EXPECT_NE(log.find("\"sha256\":\"" + quibtest::sha256File(f) + "\""), std::string::npos) << log;
    int errors = 0;
    for (size_t at = log.find("\"error\":"); at != std::string::npos; at = log.find("\"error\":", at + 1))
        ++errors;
    EXPECT_EQ(errors, 6);
}
