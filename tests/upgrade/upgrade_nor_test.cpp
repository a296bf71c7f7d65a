// The image writers on a board with NOR image regions, against the simulated chip.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "upgrade/upgrade.h"

namespace {

constexpr uint32_t kSector = 0x10000;

using quibtest::be32;
using quibtest::byteSum;
using quibtest::pattern;

enum Kind { Web, Firmware, Loader };

// Puts content in an upload file, maps the chip and runs the kind's writer.
int writeImage(const quibtest::ChipRoot& root, Kind kind, const std::string& name,
               const std::string& content, int sectors = 10)
{
    root.write("/tmp/quibImg", content);
    EXPECT_EQ(F_FlashDrv_Init(), 0);
    S_EtatLoader.boardVersion = 1;
    S_EtatLoader.firmwareSectorCount = sectors;
    const std::string tmp = root.host("/tmp/quibImg");
    switch (kind) {
    case Web: return flash_Web(name.c_str(), tmp.c_str());
    case Firmware: return flash_firmware(name.c_str(), tmp.c_str());
    case Loader: return flash_loader(name.c_str(), tmp.c_str());
    }
    return -1;
}

}  // namespace

TEST(UpgradeNorRoute, FirmwareRegionHoldsHeaderImageAndVersionBlock)
{
    for (int n : {10, 8}) {
        quibtest::ChipRoot root;
        // A previous, longer firmware and a neighbour in the next sector: the
        // new one must erase the first and leave the second alone.
        ASSERT_EQ(writeImage(root, Firmware, "FrmWCINT_old.bin", pattern(n * kSector - 136, 3), n), 0);
        const uint32_t next = (48 + n) * kSector;
        uintptr_t cursor = FLASH_ADD_DEBUT + next;
        ASSERT_EQ(F_FlashDrv_Write(&cursor, "keep", 4), 0);

        const std::string img = pattern(100000);
        ASSERT_EQ(writeImage(root, Firmware, "FrmWCINT_V2.bin", img, n), 0) << n;
        const std::string chip = root.image();
        std::string region = chip.substr(48 * kSector, n * kSector);
        EXPECT_EQ(region.substr(0, 8), be32(100000) + be32(byteSum(img))) << n;
        EXPECT_EQ(region.substr(8, img.size()), img) << n;
        std::string version = "FrmWCINT_V2" + std::string(21, '\0');
        EXPECT_EQ(region.substr(region.size() - 128, 32), version) << n;
        region.replace(region.size() - 128, 32, 32, '\xFF');
        EXPECT_EQ(region.find_first_not_of('\xFF', 8 + img.size()), std::string::npos) << n;
        EXPECT_EQ(chip.substr(next, 4), "keep") << n;
    }
}

TEST(UpgradeNorRoute, LoaderRegionHoldsInfoAndVersionBlocks)
{
    quibtest::ChipRoot root;
    const std::string img = pattern(4000);
    const std::string name(40, 'L');  // no dot: the first 32 characters, no terminator
    ASSERT_EQ(writeImage(root, Loader, "LoaderCINT" + name, img), 0);
    const std::string region = root.image().substr(59 * kSector, kSector);
    EXPECT_EQ(region.substr(0, 8 + img.size()), be32(4000) + be32(byteSum(img)) + img);
    EXPECT_EQ(region.substr(kSector - 256, 11), std::string("LOADER : 1\0", 11));
    EXPECT_EQ(region.substr(kSector - 128, 32), ("LoaderCINT" + name).substr(0, 32));
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
        {Firmware, 10, 65535, 108},
        {Firmware, 10, 65536, 0},
        {Firmware, 10, 10 * kSector - 136, 0},
        {Firmware, 10, 10 * kSector - 135, 108},  // would reach the version block
        {Firmware, 8, 8 * kSector - 136, 0},
        {Firmware, 8, 8 * kSector - 135, 108},
        {Loader, 10, 1023, 108},
        {Loader, 10, 1024, 0},
        {Loader, 10, 65272, 0},
        {Loader, 10, 65273, 108},  // would reach the info block
        {Web, 10, 0, 0},
        {Web, 10, 21 * kSector - 8, 0},
        {Web, 10, 21 * kSector - 7, 108},  // would reach the firmware region
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root;
        const std::string img = pattern(c.size);
        const char* names[] = {"Web.tgz", "FrmWCINT.bin", "LoaderCINT.bin"};
        EXPECT_EQ(writeImage(root, c.kind, names[c.kind], img, c.sectors), c.want)
            << c.kind << " " << c.size;
        const uint32_t first[] = {27, 48, 59};
        const std::string head = root.image().substr(first[c.kind] * kSector, 8);
        if (c.want == 0) {
            EXPECT_EQ(head, be32(c.size) + be32(byteSum(img))) << c.kind << " " << c.size;
        } else {
            EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos)
                << "flash touched: " << c.kind << " " << c.size;
        }
    }
}

TEST(UpgradeNorRoute, EveryFailedEraseOrWriteIsReported)
{
    const uint32_t firm = 0x300000;
    struct Case {
        Kind kind;
        std::string settings;
        const char* what;
    };
    const Case cases[] = {
        {Firmware, "erase_fail_sector=50\n", "erase"},
        {Firmware, "program_fail_always=" + std::to_string(firm + 2) + "\n", "size word"},
        {Firmware, "program_fail_always=" + std::to_string(firm + 5) + "\n", "sum word"},
        {Firmware, "program_fail_always=" + std::to_string(firm + 8 + 70000) + "\n", "image"},
        {Firmware, "program_fail_always=" + std::to_string(0x39FF80) + "\n", "version block"},
        {Loader, "program_fail_always=" + std::to_string(0x3BFF80 + 3) + "\n", "loader version"},
        {Loader, "program_fail_always=" + std::to_string(0x3BFF00) + "\n", "info block"},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root(0x93, c.settings);
        const size_t size = c.kind == Firmware ? 100000 : 2000;
        EXPECT_EQ(writeImage(root, c.kind, c.kind == Firmware ? "FrmWCINT_x.bin" : "LoaderCINT_x",
                             pattern(size)),
                  107)
            << c.what;
    }
}

TEST(UpgradeNorRoute, RegionsBeyondTheSmallChipAreRefusedBeforeAnyErase)
{
    quibtest::ChipRoot root(0xC8);
    EXPECT_EQ(F_FlashDrv_Init(), 0);
    // The web region begins inside the 2 MiB window and ends outside it.
    uintptr_t cursor = FLASH_ADD_WEB;
    ASSERT_EQ(F_FlashDrv_Write(&cursor, "old", 3), 0);
    EXPECT_EQ(writeImage(root, Web, "Web.tgz", pattern(5000)), 107);
    EXPECT_EQ(writeImage(root, Firmware, "FrmWCINT.bin", pattern(70000)), 107);
    EXPECT_EQ(writeImage(root, Loader, "LoaderCINT.bin", pattern(2000)), 107);
    EXPECT_EQ(root.image().substr(0x1B0000, 3), "old");
    EXPECT_EQ(root.image().find_first_not_of('\xFF', 0x1B0003), std::string::npos);
}

TEST(UpgradeNorRoute, NoEepromServiceMeansNothingWrittenAndNoSuccess)
{
    quibtest::TempRoot root;  // no chip at all
    root.write("/tmp/quibImg", pattern(70000));
    char type[128] = "Unknown";
    EXPECT_EQ(flash_file("FrmWCINT.bin", root.host("/tmp/quibImg").c_str(), type), 107);
    EXPECT_STREQ(type, "Unknown");
}
