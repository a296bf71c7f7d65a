// The board from the board report, the loader generation and the installed names from the simulated chip.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"

using quibtest::be32;

namespace {

void putBytes(const quibtest::ChipRoot& root, uint32_t offset, const std::string& bytes)
{
    std::fstream(root.host("/flash/nor.img"), std::ios::in | std::ios::out | std::ios::binary).seekp(offset) << bytes;
}

// The loader region as the image writers leave it: size and byte sum, then the image.
std::string loaderRegion(const std::string& image)
{
    return be32(static_cast<uint32_t>(image.size())) + be32(quibtest::byteSum(image)) + image;
}

}  // namespace

// Only this run's report counts, and only its first 256 bytes; board 2 never looks at the loader region. A
// report that is missing, empty or cut short (a full /tmp) identifies nothing: the fields keep the fallback,
// board 1. The report goes to a private file, never to a link planted at the old fixed name.
TEST(BoardVersion, FromTheHeadOfThisRunsReport)
{
    const std::string pad251(251, 'x'), board2 = "CPU:PPC Release:6.3.2  FreeMem:41Mb/64Mb BootTime:x\n";
    struct Case {
        bool program;
        std::string report;
        int board;
        bool identified = true;
        long fileLimit = 0;  // bytes any file of the run may hold: 1 leaves the report cut
    };
    const Case cases[] = {
        {true, board2, 2}, {true, pad251 + "/64Mb", 2}, {true, "CPU:PPC Release:6.3.2  FreeMem:90Mb/128Mb\n", 1},
        {true, pad251 + "x/64Mb", 1}, {true, "", 1, false}, {false, "", 1, false}, {true, board2, 1, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report.substr(0, 60));
        quibtest::TempRoot root;
        if (c.program) {
            root.write("/proc/boot/pidin", "#!/bin/sh\n[ \"$1\" = info ] && exec cat '" + root.host("/report") + "'\n");
            chmod(root.host("/proc/boot/pidin").c_str(), 0755);
        }
        root.write("/report", c.report);
        root.write("/aside", board2);
        ASSERT_EQ(symlink(root.host("/aside").c_str(), root.host("/tmp/info").c_str()), 0);
        const int got = quibtest::runInChild([] {
            S_EtatLoader = {};
            S_EtatLoader.cintLoaderVersion = 77;
            const int rc = F_DetectCINTBoardConfig(1);
            const int board = S_EtatLoader.boardVersion;
            const bool other = S_EtatLoader.cintLoaderVersion != (board == 2 ? 77 : 3) ||
                               S_EtatLoader.firmwareSectorCount != (board == 2 ? 0 : 8);
            return rc != 0 || other ? 99 : board * 10 + F_BoardIdentified();
        }, c.fileLimit);
        EXPECT_EQ(got, c.board * 10 + c.identified);
        EXPECT_EQ(root.read("/aside"), board2);
        EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{"info"});  // the planted link alone
    }
}

// The marker counts only wholly inside one 1280-byte chunk of the image; a forced
// generation (not 0, when asked for) wins; the 2 MiB chip has no loader region.
TEST(LoaderGeneration, DecidesTheFirmwareSectorCount)
{
    const std::string marker = LOADER_MARKER_10SECT;
    auto markerAt = [&](size_t n, size_t at) { return loaderRegion(std::string(n, 'L').replace(at, 11, marker)); };
    const std::tuple<unsigned, std::string, int, int, int> cases[] = {  // chip, region, forced, use it, sectors
        {0x93, markerAt(4096, 1269), 0, 1, 10},  // ends the first chunk
        {0x93, markerAt(4096, 1275), 0, 1, 8},   // straddles two chunks
        {0x93, markerAt(4096, 1280), 0, 1, 10},  // opens the second
        {0x93, markerAt(1291, 1280), 0, 1, 10},  // is the whole last chunk
        {0x93, loaderRegion(std::string(4096, 'L')), 0, 1, 8}, {0x93, "", 0, 1, 8},
        {0x93, be32(0) + be32(0) + marker, 0, 1, 8},
        {0x93, be32(100) + be32(0) + std::string(200, 'L') + marker, 0, 1, 8},  // behind the image
        // A size word one past the sector's end: the scan stops there, before the marker's last byte.
        {0x93, be32(0xFFF9) + be32(0) + std::string(0x10000 - 18, 'L') + marker, 0, 1, 8},
        {0x93, loaderRegion("L"), 4, 1, 10}, {0x93, loaderRegion("L"), 4, 0, 8}, {0x93, markerAt(200, 9), 3, 1, 8},
        {0xC8, "", 0, 1, 8},
    };
    for (const auto& [chip, region, forced, useForced, sectors] : cases) {
        SCOPED_TRACE(testing::Message() << "row " << &region - &std::get<1>(cases[0]));
        quibtest::ChipRoot root(chip);
        putBytes(root, FLASH_OFF_LOADER, region);
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        S_EtatLoader = {};
        S_EtatLoader.forcedLoaderVersion = forced;
        EXPECT_EQ(F_DetectCINTBoardConfig(useForced), 0);
        EXPECT_EQ(S_EtatLoader.boardVersion, 1);
        EXPECT_EQ(S_EtatLoader.firmwareSectorCount, sectors);
        EXPECT_EQ(S_EtatLoader.cintLoaderRevision, 0);
    }
}

// Board 1 reads the names from the version blocks: a full block has no terminator, an erased one names
// nothing; before detection, or before the window is mapped, nothing changes.
TEST(DecodeTrame, NorBoardReadsTheVersionBlocks)
{
    quibtest::ChipRoot root;
    const std::string name32 = "LoaderCINT_gen4_with_a_long_name";
    putBytes(root, FLASH_OFF_VERSFIRMW, std::string("FrmWCINT_V2") + std::string(21, '\0') + std::string(32, '\xFF'));
    putBytes(root, FLASH_OFF_VERSLOADER, name32);
    for (int board : {0, 1}) {
        std::strcpy(S_DecodeTrame.loaderName, "old");
        S_EtatLoader.boardVersion = board;
        EXPECT_EQ(F_InitDecodeTrame(), 1);
        EXPECT_STREQ(getNomLoader(), "old") << board;
    }
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    EXPECT_EQ(F_InitDecodeTrame(), 1);
    EXPECT_EQ(getNomFirmware() + std::string("|") + getNomLoader(), "FrmWCINT_V2|" + name32);
    putBytes(root, FLASH_OFF_VERSFIRMW, std::string(32, '\xFF'));
    EXPECT_EQ(F_InitDecodeTrame(), 1);
    EXPECT_STREQ(getNomFirmware(), "");
}
