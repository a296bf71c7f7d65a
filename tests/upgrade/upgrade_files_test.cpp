// The routes that store files: images on the NAND drive, GPS configurations.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loader/LoaderCommun.h"
#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "upgrade/upgrade_internal.h"

using Files = std::vector<std::string>;
using Writer = int (*)(const char* name, const char* tmp);

// A stored file replaces the older ones of its kind and any of its own name. A
// copy that fails part way (a full drive) or a rename that fails (a directory
// in the new name's way) changes no stored file and leaves no copy behind.
TEST(UpgradeFileRoutes, CopyReplacesTheOlderFilesOfItsKindOrChangesNothing)
{
    const Writer gps = [](const char* name, const char* tmp) { return Store_Gps_Conf(tmp, name); };
    enum Fault { None, Full, InTheWay };
    struct Case {
        Writer writer;
        const char* name;
        const char* stored;
        Files gone;  // besides the stored name, which replaces any file of that name
        Fault fault = None;
        const char* dir = "/NANDdrive/firm/";
    };
    const Case cases[] = {
        {flash_Web, "Web_2.tgz", "Web.tar.gz", {"Web_1"}},
        {flash_firmware, "FrmWCINT_1", "FrmWCINT_1", {"Fx"}},
        {flash_loader, "LoaderCINT_1", "LoaderCINT_1", {"L0"}},
        {flash_firmware, "FrmWCINT_2", "", {}, Full},
        {flash_firmware, "FrmWCINT_2", "", {}, InTheWay},
        {gps, "gps.txt", "gps.txt", {}, None, "/www/system/conf/"},
        {gps, "gps.txt", "", {}, Full, "/www/system/conf/"},
    };
    const Files before = {"FrmWCINT_1", "Fx", "L0", "LoaderCINT_1", "Web.tar.gz", "Web_1", "gps.txt"};
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        const std::string dir = c.dir, upload(51200, 'x'), tmp = root.host("/tmp/quibN");  // the GPS limit
        Files after;
        for (const auto& n : before) {
            root.write(dir + n, "old");
            if (std::find(c.gone.begin(), c.gone.end(), n) == c.gone.end())
                after.push_back(n);
        }
        root.write("/tmp/quibN", upload);
        if (c.fault == InTheWay)
            root.write(dir + c.name + "/kept", "");
        S_EtatLoader.boardVersion = 2;
        S_EtatLoader.firmwareSectorCount = 0;
        const long limit = c.fault == Full ? 30000 : 0;
        EXPECT_EQ(quibtest::runInChild([&] { return c.writer(c.name, tmp.c_str()); }, limit),
                  c.fault != None ? 107 : c.writer == gps ? 1 : 0) << c.name;
        EXPECT_EQ(root.list(c.dir), after) << c.name;
        for (const auto& n : after)
            EXPECT_EQ(root.read(dir + n), n == c.stored ? upload : "old") << n;
        EXPECT_EQ(root.list("/tmp"), Files{"quibN"}) << c.name;
    }
    quibtest::TempRoot bare;  // still board 2: no upload to read, no drive directory, no EEPROM service
    bare.write("/tmp/quibN", std::string(51201, 'x'));
    EXPECT_EQ(Store_Gps_Conf(bare.host("/tmp/quibN").c_str(), "gps_rtk.txt"), 108);
    char type[128] = "Unknown";
    EXPECT_EQ(flash_file("FrmWCINT.bin", bare.host("/tmp/quibN").c_str(), type), 107);
    EXPECT_STREQ(type, "Unknown");
    EXPECT_EQ(flash_loader("LoaderCINT_2", "/nonexistent/quibN"), 101);
    EXPECT_EQ(Store_Gps_Conf("/nonexistent/quibN", "gps_rtk.txt"), 101);
    EXPECT_EQ(Restore_Settings("/nonexistent/quibN", "Backup.txt", 1), 101);
    EXPECT_EQ(flash_loader("LoaderCINT_2", bare.host("/tmp/quibN").c_str()), 107);
}
