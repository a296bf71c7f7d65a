// The image writers on a board with NOR image regions, against the simulated
// chip, and the progress file that reports their writing.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <string>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "tests/support/power_cut.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade_internal.h"

using quibtest::be32;
using quibtest::byteSum;
using quibtest::pattern;

namespace {

constexpr uint32_t kSector = 0x10000;
enum Kind { Web, Firmware, Loader };
constexpr uint32_t kFirst[] = {27, 48, 59};  // each kind's first sector
const char* const kName[] = {"Web.tgz", "FrmWCINT_x", "LoaderCINT_x"};

// Puts content in an upload file, maps the chip and runs the kind's writer.
int writeImage(const quibtest::ChipRoot& root, Kind kind, const std::string& name, const std::string& content,
               int sectors = 10)
{
    root.write("/tmp/quibImg", content);
    EXPECT_EQ(F_FlashDrv_Init(), 0);
    S_EtatLoader.boardVersion = 1;
    S_EtatLoader.firmwareSectorCount = sectors;
    int (*const writers[])(const char*, const char*) = {flash_Web, flash_firmware, flash_loader};
    return writers[kind](name.c_str(), root.host("/tmp/quibImg").c_str());
}

// A region's version block: the name up to 32 bytes, zero-filled.
std::string versionBlock(const std::string& name)
{
    return name.substr(0, 32) + std::string(32 - std::min<size_t>(name.size(), 32), '\0');
}

// "phase done/total file" from the file, or "none".
std::string progressFile(const quibtest::TempRoot& root)
{
    if (!root.exists(UPG_PROGRESS_PATH))
        return "none";
    const std::string text = root.read(UPG_PROGRESS_PATH);
    auto value = [&text](const std::string& key) {
        const size_t at = text.find("\n" + key + "=") + key.size() + 2;
        return text.substr(at, text.find('\n', at) - at);
    };
    return text.substr(6, text.find('\n') - 6) + " " + value("done") + "/" + value("total") + " " +
           value("file") + (value("started").empty() || value("time").empty() ? " no time" : "");
}

}  // namespace

// A longer previous firmware is erased; the neighbour in the next sector is kept.
TEST(UpgradeNorRoute, RegionsHoldHeaderImageAndTheirBlocks)
{
    for (int n : {10, 8}) {
        quibtest::ChipRoot root;
        ASSERT_EQ(writeImage(root, Firmware, "FrmWCINT_old.bin", pattern(n * kSector - 136, 3), n), 0);
        uintptr_t cursor = FLASH_ADD_DEBUT + (48 + n) * kSector;
        ASSERT_EQ(F_FlashDrv_Write(&cursor, "keep", 4), 0);
        const std::string img = pattern(100000);
        ASSERT_EQ(writeImage(root, Firmware, "FrmWCINT_V2.bin", img, n), 0) << n;
        std::string region = root.image().substr(48 * kSector, n * kSector + 4);
        EXPECT_EQ(region.substr(0, 8 + img.size()), be32(100000) + be32(byteSum(img)) + img) << n;
        EXPECT_EQ(region.substr(n * kSector - 128), versionBlock("FrmWCINT_V2") + std::string(96, '\xFF') + "keep") << n;
        EXPECT_EQ(region.find_first_not_of('\xFF', 8 + img.size()), n * kSector - 128) << n;
    }
    quibtest::ChipRoot root;
    const std::string img = pattern(4000), name = "LoaderCINT" + std::string(40, 'L');  // no dot: 32 characters kept
    ASSERT_EQ(writeImage(root, Loader, name, img), 0);
    const std::string region = root.image().substr(59 * kSector, kSector);
    EXPECT_EQ(region.substr(0, 8 + img.size()), be32(4000) + be32(byteSum(img)) + img);
    EXPECT_EQ(region.substr(kSector - 256, 11), std::string("LOADER : 1\0", 11));
    EXPECT_EQ(region.substr(kSector - 128, 32), versionBlock(name));
}

// Sizes at the limits of each layout, then failed erases and programs and bytes
// that the chip reported done but read back wrong (a weak cell keeps bit 0 up,
// so each offset's byte must have it clear), in every block of the region; a
// weak cell in another region is not noticed. A refused size touches nothing.
TEST(UpgradeNorRoute, SizeLimitsAndFailedWritesAreReported)
{
    const uint32_t firm = 0x300000;
    struct Case {
        Kind kind;
        size_t size;
        int sectors;
        std::string conf;
        int want;
    };
    const std::string fail = "program_fail_always=", weak = "silent_program_error=";
    const Case cases[] = {
        {Firmware, 65535, 10, "", 108}, {Firmware, 65536, 10, "", 0},
        {Firmware, 10 * kSector - 136, 10, "", 0}, {Firmware, 10 * kSector - 135, 10, "", 108},  // the version block
        {Firmware, 8 * kSector - 136, 8, "", 0}, {Firmware, 8 * kSector - 135, 8, "", 108},
        {Loader, 1023, 10, "", 108}, {Loader, 1024, 10, "", 0},
        {Loader, 65272, 10, "", 0}, {Loader, 65273, 10, "", 108},  // the info block
        {Web, 0, 10, "", 0}, {Web, 21 * kSector - 8, 10, "", 0}, {Web, 21 * kSector - 7, 10, "", 108},  // the firmware region
        {Firmware, 100000, 10, "erase_fail_sector=50", 107}, {Firmware, 100000, 10, fail + std::to_string(firm + 2), 107},
        {Firmware, 100000, 10, fail + std::to_string(firm + 5), 107}, {Firmware, 100000, 10, fail + std::to_string(firm + 70008), 107},
        {Firmware, 100000, 10, fail + std::to_string(0x39FF80), 107}, {Loader, 2000, 10, fail + std::to_string(0x3BFF83), 107},
        {Loader, 2000, 10, fail + std::to_string(0x3BFF00), 107}, {Firmware, 100000, 10, weak + std::to_string(firm), 107},
        {Firmware, 100000, 10, weak + std::to_string(firm + 9), 107}, {Firmware, 100000, 10, weak + std::to_string(0x39FF80), 107},
        {Loader, 2000, 10, weak + std::to_string(0x3BFF00), 107}, {Loader, 2000, 10, weak + std::to_string(firm + 8), 0},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root(0x93, c.conf + "\n");
        const std::string img = pattern(c.size);
        EXPECT_EQ(writeImage(root, c.kind, kName[c.kind], img, c.sectors), c.want) << c.kind << " " << c.size << " " << c.conf;
        if (c.want == 0) {
            EXPECT_EQ(root.image().substr(kFirst[c.kind] * kSector, 8), be32(c.size) + be32(byteSum(img))) << c.size;
        } else if (c.want == 108) {
            EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos) << "flash touched: " << c.size;
        }
    }
}

// An upload cut by the power after any of its programs leaves the region erased,
// with a header that disagrees with its bytes, or whole (old or new image with its
// blocks); the next upload repairs it (tried after every cut of the loader, after
// a spread of the firmware's: the erase, the header, the blocks, some of the image).
TEST(UpgradeNorRoute, PowerCutLeavesTheRegionDetectablyInvalidOrWhole)
{
    for (Kind kind : {Loader, Firmware}) {
        quibtest::ChipRoot root;
        const size_t size = kind == Loader ? 4000 : 65536;
        const uint32_t sectors = kind == Loader ? 1 : 10;
        const std::string stem = kind == Loader ? "LoaderCINT_" : "FrmWCINT_";
        const std::string images[] = {pattern(size + 100, 1), pattern(size, 2), pattern(size + 50, 3)};
        const char* names[] = {"old", "new", "next"};
        ASSERT_EQ(writeImage(root, kind, stem + names[0], images[0]), 0);
        quibtest::PowerCut cut(root, [&] { EXPECT_EQ(writeImage(root, kind, stem + names[1], images[1]), 0); });
        auto state = [&]() -> std::string {
            const std::string r = cut.bytes(kFirst[kind] * kSector, sectors * kSector);
            if (r.substr(0, 8) == std::string(8, '\xFF'))
                return "erased";
            uint32_t n = 0;
            for (int i = 0; i < 4; ++i)
                n = n << 8 | static_cast<uint8_t>(r[i]);
            if (n > r.size() - 8 || be32(byteSum(r.substr(8, n))) != r.substr(4, 4))
                return "disagrees";
            for (int i = 0; i < 3; ++i) {
                if (r.substr(8, n) == images[i] && r.substr(r.size() - 128, 32) == versionBlock(stem + names[i]) &&
                    (kind != Loader || r.substr(kSector - 256, 11) == std::string("LOADER : 1\0", 11)))
                    return names[i];
            }
            return "agrees, not whole";
        };
        for (size_t n = 0, tried = 0; n <= cut.points(); ++n) {
            if (n > 12 && n + 80 < cut.points() && n % 2999 != 0)
                continue;
            cut.cutAfter(n);
            const std::string got = state();
            ASSERT_TRUE(got == "erased" || got == "disagrees" || (got == "old" && n == 0) || got == "new")
                << stem << " cut after " << n << " of " << cut.points() << ": " << got;
            ASSERT_TRUE(n < cut.points() || got == "new");
            if (++tried % (kind == Loader ? 1 : 9) != 0 && n != cut.points())
                continue;
            ASSERT_EQ(writeImage(root, kind, stem + names[2], images[2]), 0) << n;
            ASSERT_EQ(state(), "next") << n;
            cut.restart();
        }
    }
}

// The web region begins inside the 2 MiB chip and ends outside it; no sector of
// a range that leaves the chip is erased. Without the EEPROM service nothing is written.
TEST(UpgradeNorRoute, RegionsBeyondTheSmallChipOrWithoutServiceAreRefused)
{
    quibtest::ChipRoot root(0xC8);
    EXPECT_EQ(F_FlashDrv_Init(), 0);
    uintptr_t cursor = FLASH_ADD_WEB;
    ASSERT_EQ(F_FlashDrv_Write(&cursor, "old", 3), 0);
    EXPECT_EQ(EraseFlashSectors(27, 6), -1);  // one sector past the chip's end
    EXPECT_EQ(writeImage(root, Web, "Web.tgz", pattern(5000)), 107);
    EXPECT_EQ(writeImage(root, Firmware, "FrmWCINT.bin", pattern(70000)), 107);
    EXPECT_EQ(writeImage(root, Loader, "LoaderCINT.bin", pattern(2000)), 107);
    EXPECT_EQ(root.image().substr(0x1B0000, 3), "old");
    EXPECT_EQ(root.image().find_first_not_of('\xFF', 0x1B0003), std::string::npos);

    quibtest::TempRoot bare;  // no chip at all
    bare.write("/tmp/quibImg", pattern(70000));
    char type[128] = "Unknown";
    EXPECT_EQ(flash_file("FrmWCINT.bin", bare.host("/tmp/quibImg").c_str(), type), 107);
    EXPECT_STREQ(type, "Unknown");
}

TEST(UpgradeProgress, RewrittenPerPhasePerStepAtMostFiveTimesASecond)
{
    quibtest::TempRoot root;
    root.write("/tmp/.keep", "");
    upgrade_progress(UPG_PHASE_ERASING, 1, 10);  // before begin: nothing
    EXPECT_EQ(progressFile(root), "none");
    upgrade_progress_begin("F.bin");
    EXPECT_EQ(progressFile(root), "checking 0/0 F.bin");
    struct Step {
        int waitMs;
        UpgradePhase phase;
        long long done, total;
        const char* want;  // what the file says afterwards
    };
    const Step steps[] = {
        {0, UPG_PHASE_ERASING, 1, 10, "erasing 1/10"}, {0, UPG_PHASE_ERASING, 2, 10, "erasing 1/10"},  // too soon
        {210, UPG_PHASE_ERASING, 3, 10, "erasing 3/10"},
        {0, UPG_PHASE_PROGRAMMING, 1024, 200000, "programming 1024/200000"},  // a new phase
        {210, UPG_PHASE_PROGRAMMING, 65535, 200000, "programming 1024/200000"},  // same 64 KiB
        {0, UPG_PHASE_PROGRAMMING, 65536, 200000, "programming 65536/200000"},
        {0, UPG_PHASE_PROGRAMMING, 140000, 200000, "programming 65536/200000"},  // too soon
    };
    for (const Step& s : steps) {
        usleep(s.waitMs * 1000);
        upgrade_progress(s.phase, s.done, s.total);
        EXPECT_EQ(progressFile(root), std::string(s.want) + " F.bin") << s.done;
    }
    upgrade_progress_end();
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{".keep"});
}

TEST(UpgradeProgress, TheFirmwareWriterReportsProgrammingAndNeverDependsOnIt)
{
    for (bool blocked : {false, true}) {
        quibtest::ChipRoot root;
        if (blocked)  // a directory in the temporary name's place makes every update fail
            root.write("/tmp/upgrade.progress.tmp/x", "");
        upgrade_progress_begin("F.bin");
        ASSERT_EQ(writeImage(root, Firmware, "F.bin", pattern(200000)), 0);
        const std::string said = progressFile(root);
        EXPECT_EQ(said.substr(0, 12) + said.substr(std::min(said.find('/'), said.size())),
                  blocked ? "none" : "programming /200000 F.bin");
        upgrade_progress_end();
        EXPECT_EQ(progressFile(root), "none");
        EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{"quibImg"});
    }
}
