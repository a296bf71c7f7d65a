#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/platform.h"
#include "tests/support/image_bytes.h"
#include "tests/support/peers_process.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"

namespace {

std::string native(int32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

struct Answer {
    long status;
    int32_t word;  // first reply word, or -999 when none came
};

Answer talk(const char* peer, const std::string& msg)
{
    int coid = name_open(peer, 0);
    if (coid < 0)
        return {-100, -999};
    int32_t reply[32];
    reply[0] = -999;
    long status = MsgSend(coid, msg.data(), static_cast<long>(msg.size()), reply, sizeof reply);
    name_close(coid);
    return {status, reply[0]};
}

std::vector<std::string> logLines(const quibtest::TempRoot& root)
{
    std::vector<std::string> lines;
    std::istringstream in(root.read("/var/log/peers.jsonl"));
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

// The value of a string or number member in one of the peers' flat log lines.
std::string field(const std::string& line, const std::string& key)
{
    std::string k = "\"" + key + "\":";
    size_t at = line.find(k);
    if (at == std::string::npos)
        return "<none>";
    at += k.size();
    if (line[at] == '"')
        return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

}  // namespace

TEST(InstrumentPeers, ReadsTheWholeFileBeforeAnswering)
{
    quibtest::TempRoot root;
    quibtest::PeersProcess peers(root.path());
    struct Case {
        const char* peer;
        size_t size;
        std::string (*message)(const std::string& path);
        const char* file;  // base name the log reports
    };
    const Case cases[] = {
        {"firmware", 0, [](const std::string& p) { return "mode=4&UDPConf2=Port2.TXT:" + p + '\0'; },
         "Port2.TXT"},
        {"loader", 64,
         [](const std::string& p) { return "mode=4&target=loader&RestoreModels=" + p + '\0'; }, nullptr},
        {"loader", 3 << 20, [](const std::string& p) { return native(4) + p + ",FrmWDSP_1.hex"; },
         "FrmWDSP_1.hex"},
        {"loader", 56, [](const std::string& p) { return native(3) + p + ",Loader,DSP.hex"; },
         "Loader,DSP.hex"},
    };
    std::vector<std::string> sums, paths;
    for (const auto& c : cases) {
        const std::string data = quibtest::pattern(c.size, static_cast<unsigned>(paths.size()));
        std::string path = root.host("/tmp/quib" + std::to_string(paths.size()));
        root.write(path.substr(root.path().size()), data);
        sums.push_back(quibtest::sha256File(path));
        Answer a = talk(c.peer, c.message(path));
        // As the request does: the file goes as soon as the exchange is over.
        unlink(path.c_str());
        EXPECT_EQ(a.status, 4) << path;
        paths.push_back(path);
    }
    EXPECT_EQ(peers.stop(), 0);
    EXPECT_FALSE(root.exists("/dev/name/local/firmware"));
    EXPECT_FALSE(root.exists("/dev/name/local/loader"));

    auto lines = logLines(root);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(field(lines[i], "peer"), cases[i].peer);
        EXPECT_EQ(field(lines[i], "path"), paths[i]);
        EXPECT_EQ(field(lines[i], "file"), cases[i].file ? cases[i].file : "quib" + std::to_string(i));
        EXPECT_EQ(field(lines[i], "size"), std::to_string(cases[i].size));
        EXPECT_EQ(field(lines[i], "sha256"), sums[i]) << lines[i];
        EXPECT_EQ(field(lines[i], "status"), "4");
    }
    EXPECT_EQ(field(lines[2], "command"), "4");
    EXPECT_EQ(field(lines[2], "result"), "0");
}

TEST(InstrumentPeers, OptionsSetEachPeersAnswerAndBadMessagesGetAnError)
{
    quibtest::TempRoot root;
    // Long enough for a peer under an emulator on a busy machine to answer.
    setenv("QUIB_MSG_TIMEOUT_MS", "2000", 1);
    root.write("/tmp/f", "content");
    const std::string f = root.host("/tmp/f");
    const std::string text = "mode=4&RestoreSettings=" + f + '\0';
    const std::string dsp = native(4) + f + ",FrmWDSP_1.hex";
    struct Case {
        std::vector<std::string> options;
        const char* peer;
        std::string message;
        long status;
        int32_t word;
    };
    // Each answer option itself (status, result word, closing, an unserved name) is
    // driven through the upgrade routes (upgrade_routes_test.cpp); here: that options
    // are per peer, a silent peer, and the errors for bad messages.
    const Case cases[] = {
        {{"--firmware-status", "0"}, "loader", dsp, 4, 0},  // options are per peer
        {{"--loader-silent"}, "loader", dsp, -1, -999},
        {{}, "firmware", "garbage", -1, -999},
        {{}, "firmware", "mode=4&RestoreSettings=" + f, -1, -999},  // no terminator
        {{}, "loader", native(4) + "nocomma", -1, -999},
        {{}, "loader", native(4) + root.host("/tmp/missing") + ",x", -1, -999},
        {{}, "loader", native(4) + "/dev/zero,x", -1, -999},
        {{}, "firmware", std::string(20000, 'm'), -1, -999},
        {{}, "firmware", "", -1, -999},
    };
    for (const auto& c : cases) {
        quibtest::PeersProcess peers(root.path(), c.options);
        Answer a = talk(c.peer, c.message);
        EXPECT_EQ(a.status, c.status) << c.options.size() << " " << c.message.substr(0, 40);
        EXPECT_EQ(a.word, c.word) << c.message.substr(0, 40);
        if (c.options.empty()) {
            if (!c.message.empty()) {
                EXPECT_NE(field(logLines(root).back(), "error"), "<none>") << logLines(root).back();
            }
            // Whatever came before, the peers still serve.
            EXPECT_EQ(talk("firmware", text).status, 4);
        }
        EXPECT_EQ(peers.stop(), 0);
    }
    unsetenv("QUIB_MSG_TIMEOUT_MS");
}

TEST(InstrumentPeers, ConcurrentSendersLoseAndDuplicateNothing)
{
    quibtest::TempRoot root;
    quibtest::PeersProcess peers(root.path());
    // An idle sender holds a connection throughout: it must not hold up the others.
    int idle = name_open("firmware", 0);
    ASSERT_GE(idle, 0);
    constexpr int kSenders = 8, kEach = 125;
    std::atomic<int> accepted {0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "s" + std::to_string(t) + "_" + std::to_string(i);
                std::string path = root.host("/tmp/" + name);
                std::ofstream(path) << name;
                std::string msg = (i % 2) ? native(4) + path + "," + name
                                          : "mode=4&UDPConf1=" + name + ":" + path + '\0';
                if (talk((i % 2) ? "loader" : "firmware", msg).status == 4)
                    ++accepted;
                unlink(path.c_str());
            }
        });
    for (auto& s : senders)
        s.join();
    name_close(idle);
    EXPECT_EQ(accepted, kSenders * kEach);
    EXPECT_EQ(peers.stop(), 0);

    std::set<std::string> files;
    auto lines = logLines(root);
    for (const auto& l : lines) {
        ASSERT_TRUE(l.starts_with("{\"peer\":") && l.ends_with("}")) << l;
        std::string file = field(l, "file");
        EXPECT_EQ(field(l, "size"), std::to_string(file.size())) << l;
        files.insert(file);
    }
    EXPECT_EQ(lines.size(), size_t(kSenders * kEach));
    EXPECT_EQ(files.size(), size_t(kSenders * kEach));
}
