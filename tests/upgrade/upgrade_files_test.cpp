// The routes that store files: images on the NAND drive, GPS configurations.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "loader/LoaderCommun.h"
#include "tests/support/temp_root.h"
#include "upgrade/upgrade_internal.h"

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

// A copy that fails part way (a full drive), or a rename that fails (a
// directory in the way of the new name), keeps every stored file of its kind;
// a missing upload or drive directory is refused.
TEST(UpgradeFileRoutes, FailedCopyKeepsTheStoredFile)
{
    struct Case {
        const char* dir;
        const char* stored;
        const char* inTheWay;  // null: the drive is full instead
        int (*store)(const char* name, const char* tmp);
    };
    const Case cases[] = {
        {kNand, "FrmWCINT_1.bin", nullptr, [](const char*, const char* t) { return flash_firmware("FrmWCINT_2.bin", t); }},
        {kNand, "FrmWCINT_1.bin", "FrmWCINT_2.bin", [](const char*, const char* t) { return flash_firmware("FrmWCINT_2.bin", t); }},
        {kNand, "Web.tar.gz", nullptr, [](const char*, const char* t) { return flash_Web("Web_2.tgz", t); }},
        {kConf, "gps_rtk.txt", nullptr, [](const char* n, const char* t) { return Store_Gps_Conf(t, n); }},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        fill(root, c.dir, {c.stored});
        root.write("/tmp/quibN", std::string(40000, 'x'));  // within the GPS size limit
        S_EtatLoader.boardVersion = 2;
        if (c.inTheWay != nullptr) {
            root.write(std::string(c.dir) + c.inTheWay + "/kept", "");
            EXPECT_EQ(c.store(c.stored, root.host("/tmp/quibN").c_str()), 107) << c.stored;
        } else {
            FileSizeLimit limit(20000);
            EXPECT_EQ(c.store(c.stored, root.host("/tmp/quibN").c_str()), 107) << c.stored;
        }
        EXPECT_EQ(root.list(c.dir), Files{c.stored});
        EXPECT_EQ(root.read(std::string(c.dir) + c.stored), std::string("old ") + c.stored);
        EXPECT_EQ(c.store(c.stored, root.host("/tmp/none").c_str()), 101) << c.stored;
    }
    // No drive directory: nothing to copy into.
    quibtest::TempRoot bare;
    bare.write("/tmp/quibN", "x");
    EXPECT_EQ(flash_loader("LoaderCINT_2", bare.host("/tmp/quibN").c_str()), 107);
}
