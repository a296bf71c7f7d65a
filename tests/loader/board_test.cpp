// Board detection from the board report, and the loader generation from the
// loader image in the simulated chip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/stat.h>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/loader/loader_support.h"
#include "tests/support/temp_root.h"

namespace {

// A board report program that prints the file "report" of the root, and only
// when asked for the info report.
void writeReportProgram(const quibtest::TempRoot& root)
{
    root.write("/proc/boot/pidin",
               "#!/bin/sh\n[ \"$1\" = info ] || exit 1\nexec cat '" + root.host("/report") + "'\n");
    chmod(root.host("/proc/boot/pidin").c_str(), 0755);
}

}  // namespace

TEST(BoardVersion, FromTheHeadOfThisRunsReportOnly)
{
    const std::string pad251(251, 'x');
    struct Case {
        const char* what;
        bool program;
        std::string stale;   // "/tmp/info" left by an earlier run
        std::string report;
        int board;
    };
    const Case cases[] = {
        {"report of board 2", true, "", "CPU:PPC Release:6.3.2  FreeMem:41Mb/64Mb BootTime:x\n", 2},
        {"marker ends at byte 256", true, "", pad251 + "/64Mb", 2},
        {"marker straddles byte 256", true, "", pad251 + "x/64Mb", 1},
        {"report of board 1", true, "", "CPU:PPC Release:6.3.2  FreeMem:90Mb/128Mb\n", 1},
        {"empty report", true, "", "", 1},
        {"no report program", false, "", "", 1},
        {"stale board-2 report", true, "FreeMem:41Mb/64Mb\n", "FreeMem:90Mb/128Mb\n", 1},
        {"stale long report", true, std::string(300, 'y'), "FreeMem:41Mb/64Mb\n", 2},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        if (c.program)
            writeReportProgram(root);
        root.write("/report", c.report);
        if (!c.stale.empty())
            root.write("/tmp/info", c.stale);
        S_EtatLoader = {};
        S_EtatLoader.cintLoaderVersion = 77;
        EXPECT_EQ(F_DetectCINTBoardConfig(1), 0) << c.what;
        EXPECT_EQ(S_EtatLoader.boardVersion, c.board) << c.what;
        // Board 2 never looks at the loader region.
        EXPECT_EQ(S_EtatLoader.cintLoaderVersion, c.board == 2 ? 77 : 3) << c.what;
        EXPECT_EQ(S_EtatLoader.firmwareSectorCount, c.board == 2 ? 0 : 8) << c.what;
        EXPECT_FALSE(root.exists("/tmp/info")) << c.what;
    }
}

TEST(LoaderGeneration, MarkerCountsOnlyWhollyInsideOneChunk)
{
    const std::string marker = LOADER_MARKER_10SECT;
    auto imageWithMarkerAt = [&](size_t size, size_t at) {
        std::string img(size, '\x5a');
        img.replace(at, marker.size(), marker);
        return img;
    };
    struct Case {
        const char* what;
        std::string region;   // header and image as they lie at FLASH_ADD_LOADER
        int generation;
    };
    const Case cases[] = {
        {"marker ends the first chunk", loaderRegion(imageWithMarkerAt(4096, 1269)), 4},
        {"marker straddles the chunks", loaderRegion(imageWithMarkerAt(4096, 1275)), 3},
        {"marker opens the second chunk", loaderRegion(imageWithMarkerAt(4096, 1280)), 4},
        {"marker in a short last chunk", loaderRegion(imageWithMarkerAt(1300, 1289)), 4},
        {"no marker", loaderRegion(std::string(4096, 'L')), 3},
        {"erased region", "", 3},
        {"size 0", be32(0) + be32(0) + marker, 3},
        {"marker behind the image", be32(100) + be32(0) + std::string(200, 'L') + marker, 3},
        // A size word past the sector must not find a marker in the next sector.
        {"size word past the sector",
         be32(0x7fffffff) + be32(0) + std::string(0x10000 - 8, 'L') + marker, 3},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root;
        putBytes(root, FLASH_OFF_LOADER, c.region);
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        S_EtatLoader = {};
        S_EtatLoader.boardVersion = 1;
        EXPECT_EQ(GetLoaderCINTVersion(), c.generation == 4 ? 1 : 0) << c.what;
        EXPECT_EQ(S_EtatLoader.cintLoaderVersion, c.generation) << c.what;
        EXPECT_EQ(S_EtatLoader.cintLoaderRevision, 0) << c.what;
        F_FlashDrv_Close();
    }
}

TEST(LoaderGeneration, ForcedGenerationAndChipSizeDecideSectorCount)
{
    struct Case {
        unsigned chip;
        bool marker;
        int forced;
        int useForced;
        int sectors;
    };
    const Case cases[] = {
        {0x93, true, 0, 1, 10}, {0x93, false, 4, 1, 10}, {0x93, false, 4, 0, 8}, {0x93, true, 3, 1, 8},
        // On the 2 MiB chip the loader region lies outside the window.
        {0xC8, true, 0, 1, 8},
    };
    for (const auto& c : cases) {
        quibtest::ChipRoot root(c.chip);
        std::string img(2048, 'L');
        if (c.marker)
            img.replace(100, 11, LOADER_MARKER_10SECT);
        if (c.chip != 0xC8)
            putBytes(root, FLASH_OFF_LOADER, loaderRegion(img));
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        S_EtatLoader = {};
        S_EtatLoader.forcedLoaderVersion = c.forced;
        EXPECT_EQ(F_DetectCINTBoardConfig(c.useForced), 0);
        EXPECT_EQ(S_EtatLoader.boardVersion, 1);
        EXPECT_EQ(S_EtatLoader.firmwareSectorCount, c.sectors)
            << "chip " << c.chip << " marker " << c.marker << " forced " << c.forced << "/"
            << c.useForced;
        F_FlashDrv_Close();
    }
}
