// The routes that store files: images on the NAND drive, GPS configurations.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "loader/LoaderCommun.h"
#include "tests/support/temp_root.h"
#include "upgrade/upgrade.h"

using Files = std::vector<std::string>;

namespace {

const char kNand[] = "/NANDdrive/firm/";
const char kConf[] = "/www/system/conf/";

void fill(const quibtest::TempRoot& root, const char* dir, const Files& names)
{
    for (const auto& n : names)
        root.write(dir + n, "old " + n);
}

// Writes fail beyond this many bytes, as on a full drive; even root obeys it.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit r = saved;
        r.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }
    rlimit saved{};
};

}  // namespace

TEST(UpgradeNandRoute, CopyReplacesTheOlderFilesOfItsKind)
{
    const Files before = {"FrmWCINT_1.bin", "Fx", "LoaderCINT_1.bin", "Web.tar.gz", "Web_1.tgz",
                          "notes.txt", "web.lower"};
    struct Case {
        int (*writer)(const char*, const char*);
        const char* name;
        const char* stored;
        Files after;
    };
    const Case cases[] = {
        {flash_Web, "Web_2.tgz", "Web.tar.gz",
         {"FrmWCINT_1.bin", "Fx", "LoaderCINT_1.bin", "Web.tar.gz", "notes.txt", "web.lower"}},
        {flash_firmware, "FrmWCINT_2.bin", "FrmWCINT_2.bin",
         {"FrmWCINT_2.bin", "LoaderCINT_1.bin", "Web.tar.gz", "Web_1.tgz", "notes.txt", "web.lower"}},
        {flash_firmware, "FrmWCINT_1.bin", "FrmWCINT_1.bin",
         {"FrmWCINT_1.bin", "LoaderCINT_1.bin", "Web.tar.gz", "Web_1.tgz", "notes.txt", "web.lower"}},
        {flash_loader, "LoaderCINT_2", "LoaderCINT_2",
         {"FrmWCINT_1.bin", "Fx", "LoaderCINT_2", "Web.tar.gz", "Web_1.tgz", "notes.txt", "web.lower"}},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        fill(root, kNand, before);
        const std::string content(3, 'n');  // no size limits on the drive
        root.write("/tmp/quibN", content);
        S_EtatLoader.boardVersion = 2;
        S_EtatLoader.firmwareSectorCount = 0;
        EXPECT_EQ(c.writer(c.name, root.host("/tmp/quibN").c_str()), 0) << c.name;
        EXPECT_EQ(root.list(kNand), c.after) << c.name;
        EXPECT_EQ(root.read(std::string(kNand) + c.stored), content) << c.name;
        EXPECT_EQ(root.list("/tmp"), Files{"quibN"}) << c.name;
    }
}

TEST(UpgradeNandRoute, FailedCopyLeavesThePreviousFiles)
{
    quibtest::TempRoot root;
    const Files before = {"FrmWCINT_1.bin", "Web.tar.gz"};
    fill(root, kNand, before);
    root.write("/tmp/quibN", std::string(100000, 'x'));
    S_EtatLoader.boardVersion = 2;
    {
        FileSizeLimit limit(50000);
        EXPECT_EQ(flash_firmware("FrmWCINT_2.bin", root.host("/tmp/quibN").c_str()), 107);
        EXPECT_EQ(flash_Web("Web_2.tgz", root.host("/tmp/quibN").c_str()), 107);
    }
    EXPECT_EQ(root.list(kNand), before);
    EXPECT_EQ(root.read("/NANDdrive/firm/Web.tar.gz"), "old Web.tar.gz");
    EXPECT_EQ(flash_firmware("FrmWCINT_2.bin", root.host("/tmp/none").c_str()), 101);
    // No drive directory: nothing to copy into.
    quibtest::TempRoot bare;
    bare.write("/tmp/quibN", "x");
    EXPECT_EQ(flash_loader("LoaderCINT_2", bare.host("/tmp/quibN").c_str()), 107);
}

TEST(UpgradeGpsRoute, FailedCopyKeepsTheStoredConfiguration)
{
    quibtest::TempRoot root;
    fill(root, kConf, {"gps_rtk.txt"});
    root.write("/tmp/quibG", std::string(40000, 'g'));
    S_EtatLoader.boardVersion = 2;
    {
        FileSizeLimit limit(20000);
        EXPECT_EQ(Store_Gps_Conf(root.host("/tmp/quibG").c_str(), "gps_rtk.txt"), 107);
    }
    EXPECT_EQ(root.list(kConf), Files{"gps_rtk.txt"});
    EXPECT_EQ(root.read("/www/system/conf/gps_rtk.txt"), "old gps_rtk.txt");
    EXPECT_EQ(Store_Gps_Conf(root.host("/tmp/none").c_str(), "gps_rtk.txt"), 101);
}
