// The checks made before a text file goes to a peer: the ".txt" names of the
// UDP forward and the markers of a settings backup. The answers themselves are
// covered end to end.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fake_peer.h"
#include "tests/support/temp_root.h"
#include "upgrade/upgrade_internal.h"

using quibtest::FakePeer;

TEST(UpgradeUdpRoute, OnlyTxtNamesAreForwarded)
{
    quibtest::TempRoot root;
    FakePeer firmware(root.path(), "firmware");
    const std::string tmp = root.host("/tmp/quibU");
    struct Case {
        const char* name;
        int want;
    };
    const Case cases[] = {
        {"Port2.TXT", 0}, {".txt", 0}, {"txt", 103}, {"x.txt.bak", 103}, {"", 103},
    };
    size_t sent = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(EnvoiUDP('2', tmp.c_str(), c.name), c.want) << c.name;
        if (c.want == 0) {
            ASSERT_EQ(firmware.received().size(), ++sent);
            EXPECT_EQ(firmware.received().back(),
                      std::string("mode=4&UDPConf2=") + c.name + ":" + tmp + '\0');
        }
    }
    EXPECT_EQ(firmware.received().size(), sent);
}

TEST(UpgradeRestoreRoute, SettingsNeedTheirMarkersInTheFirstKilobyte)
{
    struct Case {
        const char* what;
        std::string content;
        int want;
    };
    const Case cases[] = {
        {"MMI and QNX", "# MMI backup\nQNX 6.5\n", 0},
        {"IHM and QNX", "QNX IHM", 0},
        {"IHM without QNX", "IHM only", 103},
        {"QNX without interface", "QNX", 103},
        {"lower case", "ihm qnx", 103},
        {"QNX cut at byte 1024", "IHM" + std::string(1019, ' ') + "QNX", 103},
        {"QNX ending at byte 1024", "IHM" + std::string(1018, ' ') + "QNX", 0},
        {"behind a zero byte", std::string("IHM\0QNX", 7), 103},
        {"empty", "", 103},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        FakePeer firmware(root.path(), "firmware");
        root.write("/tmp/quibS", c.content);
        const std::string tmp = root.host("/tmp/quibS");
        EXPECT_EQ(Restore_Settings(tmp.c_str(), "Backup.TXT", 1), c.want) << c.what;
        EXPECT_EQ(firmware.received().size(), c.want == 0 ? 1u : 0u) << c.what;
        if (c.want == 0) {
            EXPECT_EQ(firmware.received()[0], "mode=4&RestoreSettings=" + tmp + '\0');
        }
    }
    quibtest::TempRoot root;
    const std::string missing = root.host("/tmp/none");
    EXPECT_EQ(Restore_Settings(missing.c_str(), "Backup.txt", 1), 101);
    EXPECT_EQ(Restore_Settings(missing.c_str(), "Backup.bin", 1), 103);
}
