// upgrade.cgi as the web server runs it, ended by a signal in each phase of its run or finding its output closed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/e2e/web_instrument.h"

using quibtest::be32, quibtest::instrument;
using Files = std::vector<std::string>;

namespace {

bool eventually(const std::function<bool()>& check)
{
    for (int i = 0; i < 1000 && !check(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return check();
}

}  // namespace

// SIGTERM, SIGINT and SIGHUP end a run wherever it waits (the body, the lock, a peer) without a file left in /tmp
// but the lock's; while a region is erased and written they wait for its end. A closed output is a failed write.
TEST(UpgradeSignals, EndTheRunWithoutItsFilesButNeverInsideARegionWrite)
{
    enum Phase { Spooling, Lock, Peer, Erasing, ClosedOutput };
    const struct {
        Phase phase;
        int signal;
        const char* name;
    } cases[] = {
        {Spooling, SIGTERM, "FrmWCINT_1.bin"}, {Lock, SIGINT, "FrmWCINT_1.bin"}, {Peer, SIGHUP, "FrmWDSP_1.hex"},
        {Erasing, SIGTERM, "LoaderCINT_new.bin"}, {ClosedOutput, 0, "x.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.phase);
        quibtest::TempRoot root;
        ASSERT_EQ(instrument({"init", root.path()}).status, 0);
        root.write("/flash/nor.conf", c.phase == Erasing ? "code=0x93\nerase_busy_reads=5\n" : "code=0x93\n");
        quibtest::FakePeer loader(root.path(), "loader", quibtest::PeerAnswer::reply(4, std::string(4, '\0'), 1500));
        // Another run holds the lock.
        const int lock = c.phase == Lock ? open(root.host("/tmp/upgrade.lock").c_str(), O_RDWR | O_CREAT, 0600) : -1;
        struct flock fl {};
        fl.l_type = F_WRLCK;
        ASSERT_TRUE(c.phase != Lock || fcntl(lock, F_SETLK, &fl) == 0);

        const std::string content(4000, 'i');
        const std::string body = "--b\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"" +
                                 std::string(c.name) + "\"\r\n\r\n" + content + "\r\n--b--\r\n";
        int in[2], out[2];
        ASSERT_EQ(pipe(in) | pipe(out), 0);
        const pid_t pid = quibtest::startProcess(
            {quibtest::binPath("upgrade.cgi")},
            {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=b"},
             {"CONTENT_LENGTH", std::to_string(body.size())}},
            in[0], out[1], STDERR_FILENO);
        close(in[0]);
        close(out[1]);
        if (c.phase == ClosedOutput)
            close(out[0]);
        // The spool stalls half way; the others send the whole body.
        const size_t sent = c.phase == Spooling ? body.size() / 2 : body.size();
        ASSERT_EQ(write(in[1], body.data(), sent), static_cast<ssize_t>(sent));
        const bool reached = eventually([&] {
            switch (c.phase) {
            case Spooling: return root.list("/tmp").size() == 1;  // the upload's file, no lock yet
            case Lock: return std::this_thread::sleep_for(std::chrono::milliseconds(300)), true;
            case Peer: return !loader.received().empty();
            case Erasing: return root.read("/tmp/upgrade.progress").starts_with("phase=erasing");
            default: return true;
            }
        });
        EXPECT_TRUE(reached);
        if (c.signal != 0)
            kill(pid, c.signal);
        std::string page;
        char buf[4096];
        for (ssize_t n; c.phase != ClosedOutput && (n = read(out[0], buf, sizeof buf)) > 0;)
            page.append(buf, static_cast<size_t>(n));
        EXPECT_EQ(quibtest::waitProcess(pid), c.signal == 0 ? 0 : 128 + c.signal);
        close(in[1]);
        if (c.phase != ClosedOutput)
            close(out[0]);
        if (lock >= 0)
            close(lock);
        EXPECT_EQ(page, "");
        EXPECT_EQ(root.list("/tmp"), c.phase == Spooling ? Files{} : Files{"upgrade.lock"});
        // The loader's region was finished before the run ended: its header agrees with the whole image.
        if (c.phase == Erasing) {
            EXPECT_EQ(root.read("/flash/nor.img").substr(59 * 0x10000, 8 + content.size()),
                      be32(4000) + be32(4000 * 'i') + content);
        }
    }
}
