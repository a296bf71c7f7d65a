// The image writers on a board with NOR image regions, against the simulated chip.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "tests/support/power_cut.h"
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

TEST(UpgradeNorRoute, SizeLimitsKeepEveryImageInsideItsLayout)
{
    struct Case {
        Kind kind;
        int sectors;
        size_t size;
        int want;
    };
    const Case cases[] = {
        {Firmware, 10, 65535, 108}, {Firmware, 10, 65536, 0},
        {Firmware, 10, 10 * kSector - 136, 0}, {Firmware, 10, 10 * kSector - 135, 108},  // the version block
        {Firmware, 8, 8 * kSector - 136, 0}, {Firmware, 8, 8 * kSector - 135, 108},
        {Loader, 10, 1023, 108}, {Loader, 10, 1024, 0},
        {Loader, 10, 65272, 0}, {Loader, 10, 65273, 108},  // the info block
        {Web, 10, 0, 0}, {Web, 10, 21 * kSector - 8, 0}, {Web, 10, 21 * kSector - 7, 108},  // the firmware region
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root;
        const std::string img = pattern(c.size);
        EXPECT_EQ(writeImage(root, c.kind, kName[c.kind], img, c.sectors), c.want) << c.kind << " " << c.size;
        if (c.want == 0) {
            EXPECT_EQ(root.image().substr(kFirst[c.kind] * kSector, 8), be32(c.size) + be32(byteSum(img))) << c.size;
        } else {
            EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos) << "flash touched: " << c.size;
        }
    }
}

// Failed erases and programs, and bytes the chip reported done that read back
// wrong (a weak cell keeps bit 0 up, so each offset's byte must have it clear),
// in every block of the region; a weak cell in another region is not noticed.
TEST(UpgradeNorRoute, EveryFailedEraseOrWriteIsReported)
{
    const uint32_t firm = 0x300000;
    struct Case {
        Kind kind;
        const char* key;
        uint32_t offset;
        int want;
    };
    const Case cases[] = {
        {Firmware, "erase_fail_sector", 50, 107}, {Firmware, "program_fail_always", firm + 2, 107},
        {Firmware, "program_fail_always", firm + 5, 107}, {Firmware, "program_fail_always", firm + 8 + 70000, 107},
        {Firmware, "program_fail_always", 0x39FF80, 107}, {Loader, "program_fail_always", 0x3BFF80 + 3, 107},
        {Loader, "program_fail_always", 0x3BFF00, 107}, {Firmware, "silent_program_error", firm, 107},
        {Firmware, "silent_program_error", firm + 9, 107}, {Firmware, "silent_program_error", 0x39FF80, 107},
        {Loader, "silent_program_error", 0x3BFF00, 107}, {Loader, "silent_program_error", firm + 8, 0},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root(0x93, std::string(c.key) + "=" + std::to_string(c.offset) + "\n");
        EXPECT_EQ(writeImage(root, c.kind, kName[c.kind], pattern(c.kind == Firmware ? 100000 : 2000)), c.want)
            << c.key << " " << c.offset;
    }
}

// An upload cut short by the power at a spread of its programs (the erase, the
// image, every byte of the blocks and of the header): the region is erased, its
// header disagrees with its bytes, or it holds a whole image with its blocks,
// the old one or the new. The next upload repairs it whatever the cut left
// (tried after every cut of the loader, after a spread of the firmware's).
TEST(UpgradeNorRoute, PowerCutLeavesTheRegionDetectablyInvalidOrWhole)
{
    struct Case {
        Kind kind;
        uint32_t sectors;
        size_t size;
        int repairEvery;
    };
    for (const Case& c : {Case{Loader, 1, 4000, 1}, Case{Firmware, 10, 65536, 9}}) {
        quibtest::ChipRoot root;
        const std::string stem = c.kind == Loader ? "LoaderCINT_" : "FrmWCINT_";
        const std::string images[] = {pattern(c.size + 100, 1), pattern(c.size, 2), pattern(c.size + 50, 3)};
        const char* names[] = {"old", "new", "next"};
        ASSERT_EQ(writeImage(root, c.kind, stem + names[0], images[0]), 0);
        quibtest::PowerCut cut(root, [&] { EXPECT_EQ(writeImage(root, c.kind, stem + names[1], images[1]), 0); });
        auto state = [&]() -> std::string {
            const std::string r = cut.bytes(kFirst[c.kind] * kSector, c.sectors * kSector);
            if (r.substr(0, 8) == std::string(8, '\xFF'))
                return "erased";
            uint32_t size = 0;
            for (int i = 0; i < 4; ++i)
                size = size << 8 | static_cast<uint8_t>(r[i]);
            if (size > r.size() - 8 || be32(byteSum(r.substr(8, size))) != r.substr(4, 4))
                return "disagrees";
            for (int i = 0; i < 3; ++i) {
                if (r.substr(8, size) == images[i] && r.substr(r.size() - 128, 32) == versionBlock(stem + names[i]) &&
                    (c.kind != Loader || r.substr(kSector - 256, 11) == std::string("LOADER : 1\0", 11)))
                    return names[i];
            }
            return "agrees, not whole";
        };
        std::map<std::string, int> seen;
        int tried = 0;
        for (size_t n = 0; n <= cut.points(); ++n) {
            if (n > 12 && n + 80 < cut.points() && n % 2999 != 0)
                continue;
            cut.cutAfter(n);
            const std::string got = state();
            ++seen[got];
            ASSERT_TRUE(got == "erased" || got == "disagrees" || got == "new" || (got == "old" && n == 0))
                << stem << " cut after " << n << " of " << cut.points() << ": " << got;
            if (++tried % c.repairEvery != 0 && n != cut.points())
                continue;
            ASSERT_EQ(writeImage(root, c.kind, stem + names[2], images[2]), 0) << n;
            ASSERT_EQ(state(), "next") << n;
            cut.restart();
        }
        std::printf("%s: %zu cut points, %d tried: old %d, erased %d, header disagrees %d, new %d\n", stem.c_str(),
                    cut.points(), tried, seen["old"], seen["erased"], seen["disagrees"], seen["new"]);
        EXPECT_GE(seen["new"], 1);
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
