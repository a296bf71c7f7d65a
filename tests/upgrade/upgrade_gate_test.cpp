// What cgiMain decides before it routes: another site's request and a request
// lock that cannot be taken are answered without a single cycle on the chip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cgi/cgi.h"
#include "tests/support/chip_root.h"
#include "upgrade/upgrade_internal.h"

TEST(UpgradeGate, RefusedRequestsNeverReachTheChip)
{
    enum Lock { Free, Symlink, Directory, Fifo };
    struct Case {
        const char* what;
        const char* origin;  // nullptr: none
        Lock lock;
        const char* want;    // the Refresh target's query
        bool chipUsed;
    };
    const Case cases[] = {
        {"foreign origin", "http://evil.example", Free, "error=2009&version=v2.11", false},
        {"lock is a link", nullptr, Symlink, "error=2007&version=v2.11", false},
        {"lock is a directory", nullptr, Directory, "error=2007&version=v2.11", false},
        {"lock is a FIFO", "http://inst:8080", Fifo, "error=2007&version=v2.11", false},
        // Served: no upload in this request, but the chip was identified.
        {"same site", "http://inst:8080", Free, "error=2001&version=v2.11", true},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root;
        const std::string lock = root.host("/tmp/upgrade.lock");
        const std::string aside = root.host("/tmp/aside");
        const int made = c.lock == Symlink     ? symlink(aside.c_str(), lock.c_str())
                         : c.lock == Directory ? mkdir(lock.c_str(), 0700)
                         : c.lock == Fifo      ? mkfifo(lock.c_str(), 0600)
                                               : 0;
        ASSERT_EQ(made, 0) << c.what;
        setenv("HTTP_HOST", "inst:8080", 1);
        if (c.origin != nullptr)
            setenv("HTTP_ORIGIN", c.origin, 1);
        else
            unsetenv("HTTP_ORIGIN");
        unsetenv("QUERY_STRING");

        char* buf = nullptr;
        size_t len = 0;
        cgiOut = open_memstream(&buf, &len);
        norsim::resetCounters();
        EXPECT_EQ(cgiMain(), 0);
        const norsim::Counters used = norsim::counters();
        std::fclose(cgiOut);
        cgiOut = nullptr;
        const std::string page(buf, len);
        std::free(buf);

        EXPECT_NE(page.find(std::string("content=\"0;url=../index.html?") + c.want + "\""),
                  std::string::npos)
            << c.what << ": " << page;
        EXPECT_EQ(used.reads + used.writes > 0, c.chipUsed) << c.what;
        EXPECT_FALSE(root.exists("/tmp/aside")) << c.what;
        if (c.lock == Free) {
            EXPECT_EQ(root.exists("/tmp/upgrade.lock"), c.chipUsed) << c.what;
        }
    }
    unsetenv("HTTP_HOST");
    unsetenv("HTTP_ORIGIN");
}
