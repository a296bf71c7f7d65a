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

TEST(UpgradeNandRoute, CopyReplacesTheOlderFilesOfItsKind)
{
    const Files before = {"FrmWCINT_1.bin", "Fx", "LoaderCINT_1.bin", "Web.tar.gz", "Web_1.tgz", "notes.txt", "web.lower"};
    struct Case {
        int (*writer)(const char*, const char*);
        const char* name;
        const char* stored;
        Files gone;  // besides the stored name, which replaces any file of that name
    };
    const Case cases[] = {
        {flash_Web, "Web_2.tgz", "Web.tar.gz", {"Web_1.tgz"}},
        {flash_firmware, "FrmWCINT_2.bin", "FrmWCINT_2.bin", {"FrmWCINT_1.bin", "Fx"}},
        {flash_firmware, "FrmWCINT_1.bin", "FrmWCINT_1.bin", {"Fx"}},
        {flash_loader, "LoaderCINT_2", "LoaderCINT_2", {"LoaderCINT_1.bin"}},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        Files after = {c.stored};
        for (const auto& n : before) {
            root.write("/NANDdrive/firm/" + n, "old");
            if (n != c.stored && std::find(c.gone.begin(), c.gone.end(), n) == c.gone.end())
                after.push_back(n);
        }
        std::sort(after.begin(), after.end());
        root.write("/tmp/quibN", "nnn");  // no size limits on the drive
        S_EtatLoader.boardVersion = 2;
        S_EtatLoader.firmwareSectorCount = 0;
        EXPECT_EQ(c.writer(c.name, root.host("/tmp/quibN").c_str()), 0) << c.name;
        EXPECT_EQ(root.list("/NANDdrive/firm"), after) << c.name;
        EXPECT_EQ(root.read(std::string("/NANDdrive/firm/") + c.stored), "nnn") << c.name;
        EXPECT_EQ(root.list("/tmp"), Files{"quibN"}) << c.name;
    }
}

// A copy that fails part way (a full drive), or a rename that fails (a
// directory in the way of the new name), keeps every stored file of its kind;
// a missing upload or drive directory is refused.
TEST(UpgradeFileRoutes, FailedCopyKeepsTheStoredFile)
{
    struct Case {
        const char* dir;
        const char* stored;
        const char* inTheWay;  // null: the drive is full instead
        int (*store)(const char* tmp);
    };
    const Case cases[] = {
        {"/NANDdrive/firm/", "FrmWCINT_1.bin", nullptr, [](const char* t) { return flash_firmware("FrmWCINT_2.bin", t); }},
        {"/NANDdrive/firm/", "FrmWCINT_1.bin", "FrmWCINT_2.bin", [](const char* t) { return flash_firmware("FrmWCINT_2.bin", t); }},
        {"/NANDdrive/firm/", "Web.tar.gz", nullptr, [](const char* t) { return flash_Web("Web_2.tgz", t); }},
        {"/www/system/conf/", "gps_rtk.txt", nullptr, [](const char* t) { return Store_Gps_Conf(t, "gps_rtk.txt"); }},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        const std::string stored = std::string(c.dir) + c.stored, tmp = root.host("/tmp/quibN");
        root.write(stored, "old");
        root.write("/tmp/quibN", std::string(40000, 'x'));  // within the GPS size limit
        S_EtatLoader.boardVersion = 2;
        if (c.inTheWay != nullptr)
            root.write(std::string(c.dir) + c.inTheWay + "/kept", "");
        EXPECT_EQ(quibtest::runInChild([&] { return c.store(tmp.c_str()); }, c.inTheWay ? 0 : 20000), 107) << c.stored;
        EXPECT_EQ(root.list(c.dir), Files{c.stored});
        EXPECT_EQ(root.read(stored), "old");
        EXPECT_EQ(c.store(root.host("/tmp/none").c_str()), 101) << c.stored;
    }
    quibtest::TempRoot bare;  // no drive directory
    bare.write("/tmp/quibN", "x");
    EXPECT_EQ(flash_loader("LoaderCINT_2", bare.host("/tmp/quibN").c_str()), 107);
    EXPECT_EQ(Restore_Settings(bare.host("/tmp/none").c_str(), "Backup.txt", 1), 101);
}
