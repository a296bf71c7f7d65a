// Installed names on the NAND drive and the DSP names file (its parser is fuzzed against a reference model).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "loader/LoaderCommun.h"
#include "tests/support/temp_root.h"

// Board 2 names the last file of each kind in byte order, as `ls` lists them.
TEST(DecodeTrame, NandBoardNamesTheLastListedFileOfEachKind)
{
    const std::string longName = "L" + std::string(200, 'n');
    const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {  // files, loader, firmware
        {{"LoaderCINT_v3.bin", "LoaderCINT_v10.bin", "FrmWCINT_b.bin", "FrmWCINT_B.bin"}, "LoaderCINT_v3.bin",
         "FrmWCINT_b.bin"},
        {{".Lhidden", "Lzz/inside", "LoaderCINT_a"}, "LoaderCINT_a", ""},  // no hidden files, no directories
        {{longName}, longName.substr(0, 127), ""},
    };
    for (const auto& [files, loader, firmware] : cases) {
        quibtest::TempRoot root;
        std::filesystem::create_directories(root.host("/NANDdrive/firm"));
        for (const auto& f : files)
            root.write("/NANDdrive/firm/" + f, "image");
        std::strcpy(S_DecodeTrame.firmwareName, "old");
        S_EtatLoader.boardVersion = 2;
        EXPECT_EQ(F_InitDecodeTrame(), 1);
        EXPECT_EQ(getNomLoader() + std::string("|") + getNomFirmware(), loader + "|" + firmware);
        EXPECT_TRUE(root.list("/tmp").empty());
    }
}

// What the names file's fuzz target leaves out: numbers out of range, and no file at all.
TEST(NamesFile, NumbersOutOfRangeAndNoFile)
{
    quibtest::TempRoot root;
    root.write("/tmp/Noms", "0123456789abcL1.2,F3.4,SN0042,99999999999,-99999999999,3");
    S_EtatLoader = {};
    EXPECT_EQ(F_LoaderDSPNomsDSP(), 1);
    char *loader = nullptr, *firmware = nullptr, *serial = nullptr;
    P_LoaderLoadLoaderVersion(&loader);
    P_LoaderLoadFirmwareVersion(&firmware);
    P_LoaderLoadSerialNumber(&serial);
    EXPECT_EQ(loader + std::string("|") + firmware + "|" + serial, "L1.2|F3.4|SN0042");
    EXPECT_EQ(std::to_array(S_EtatLoader.dspValues), (std::array<int32_t, 6>{INT32_MAX, INT32_MIN, 3, 0, 0, 0}));
    std::filesystem::remove(root.host("/tmp/Noms"));
    EXPECT_EQ(F_LoaderDSPNomsDSP(), -1);
    EXPECT_STREQ(loader, "L1.2") << "the texts kept";
}
