// Installed loader and firmware names, the DSP names file, DSP firmware versions.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/loader/loader_support.h"
#include "tests/support/temp_root.h"

TEST(DecodeTrame, NorBoardReadsTheVersionBlocks)
{
    quibtest::ChipRoot root;
    const std::string name32 = "LoaderCINT_gen4_with_a_long_name";  // fills the block, no terminator
    putBytes(root, FLASH_OFF_VERSFIRMW, std::string("FrmWCINT_V2") + std::string(21, '\0'));
    putBytes(root, FLASH_OFF_VERSLOADER, name32);
    std::memset(&S_DecodeTrame, 'A', sizeof S_DecodeTrame);
    S_DecodeTrame.loaderName[127] = '\0';
    // Before detection, and on board 1 before the window is mapped: nothing changes.
    for (int board : {0, 1}) {
        S_EtatLoader.boardVersion = board;
        EXPECT_EQ(F_InitDecodeTrame(), 1);
        EXPECT_EQ(std::string(getNomLoader()), std::string(127, 'A')) << board;
    }
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    EXPECT_EQ(F_InitDecodeTrame(), 1);
    EXPECT_STREQ(getNomFirmware(), "FrmWCINT_V2");
    EXPECT_EQ(std::string(getNomLoader()), name32);
    // An erased block names nothing; one erased byte among text is kept as read.
    putBytes(root, FLASH_OFF_VERSFIRMW, std::string(32, '\xFF'));
    putBytes(root, FLASH_OFF_VERSLOADER, std::string(31, '\xFF') + "L");
    EXPECT_EQ(F_InitDecodeTrame(), 1);
    EXPECT_STREQ(getNomFirmware(), "");
    EXPECT_EQ(std::string(getNomLoader()), std::string(31, '\xFF') + "L");
    F_FlashDrv_Close();
}

TEST(DecodeTrame, NandBoardNamesTheLastListedFileOfEachKind)
{
    const std::string longName = "L" + std::string(200, 'n');
    struct Case {
        const char* what;
        std::vector<std::string> files;
        std::string loader;
        const char* firmware;
    };
    const Case cases[] = {
        {"byte order, not number order",
         {"LoaderCINT_v3.bin", "LoaderCINT_v10.bin", "FrmWCINT_b.bin", "FrmWCINT_B.bin", "Web.tar.gz"},
         "LoaderCINT_v3.bin", "FrmWCINT_b.bin"},
        {"hidden files and directories are not listed", {".Lhidden", "Lzz/inside", "LoaderCINT_a"},
         "LoaderCINT_a", ""},
        {"no image files", {}, "", ""},
        {"name cut to the field", {longName}, longName.substr(0, 127), ""},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        std::filesystem::create_directories(root.host("/NANDdrive/firm"));
        for (const auto& f : c.files)
            root.write("/NANDdrive/firm/" + f, "image");
        std::strcpy(S_DecodeTrame.loaderName, "old");
        std::strcpy(S_DecodeTrame.firmwareName, "old");
        S_EtatLoader.boardVersion = 2;
        EXPECT_EQ(F_InitDecodeTrame(), 1);
        EXPECT_EQ(std::string(getNomLoader()), c.loader) << c.what;
        EXPECT_STREQ(getNomFirmware(), c.firmware) << c.what;
        EXPECT_TRUE(root.list("/tmp").empty()) << c.what;
    }
}

TEST(NamesFile, ParsesFieldsWithinTheBytesRead)
{
    const std::string head = "0123456789abc";  // 13 bytes not interpreted
    const std::string f31(31, 'v'), f32(32, 'w');
    using Values = std::array<int32_t, 6>;
    const Values kept = {-1, -1, -1, -1, -1, -1};
    struct Case {
        const char* what;
        std::string content;
        int rc;
        std::string loader, firmware, serial;
        Values values;
    };
    const Case cases[] = {
        {"all fields", head + "L1.2,F3.4,SN0042,1,2,3,4,5,6", 1, "L1.2", "F3.4", "SN0042", {1, 2, 3, 4, 5, 6}},
        {"empty field", head + "L1.2,,SN,7", 1, "L1.2", "", "SN", {7, -1, -1, -1, -1, -1}},
        {"31 characters", head + f31 + ",F,S,0", 1, f31, "F", "S", {0, -1, -1, -1, -1, -1}},
        {"32 characters", head + "L," + f32 + ",S,1,2", -1, "L", "", "", kept},
        {"fewer than six integers", head + "L,F,S,1, 2,3;4", 1, "L", "F", "S", {1, 2, 3, -1, -1, -1}},
        {"file ends inside a field", head + "L1.", 1, "L1.", "", "", kept},
        {"file shorter than its header", "0123", 1, "", "", "", kept},
        {"integers past byte 256", head + "L,F,S," + std::string(240, ' ') + "9", 1, "L", "F", "S", kept},
        {"number out of range", head + "L,F,S,99999999999,-99999999999", 1, "L", "F", "S",
         {INT32_MAX, INT32_MIN, -1, -1, -1, -1}},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        root.write("/tmp/Noms", c.content);
        S_EtatLoader = {};
        std::strcpy(S_EtatLoader.serialNumberText, "old");
        for (auto& v : S_EtatLoader.dspValues)
            v = -1;
        EXPECT_EQ(F_LoaderDSPNomsDSP(), c.rc) << c.what;
        char *loader = nullptr, *firmware = nullptr, *serial = nullptr;
        P_LoaderLoadLoaderVersion(&loader);
        P_LoaderLoadFirmwareVersion(&firmware);
        P_LoaderLoadSerialNumber(&serial);
        EXPECT_EQ(loader, c.loader) << c.what;
        EXPECT_EQ(firmware, c.firmware) << c.what;
        EXPECT_EQ(serial, c.serial) << c.what;
        EXPECT_EQ(std::to_array(S_EtatLoader.dspValues), c.values) << c.what;
    }
    quibtest::TempRoot root;
    std::strcpy(S_EtatLoader.loaderVersionText, "kept");
    EXPECT_EQ(F_LoaderDSPNomsDSP(), -1);
    EXPECT_STREQ(S_EtatLoader.loaderVersionText, "kept");
}

TEST(FirmVersion, TwoNumbersOfAtMostTwoDigitsAfterTheMarker)
{
    struct Case {
        std::string text;
        int32_t major, minor;
    };
    const Case cases[] = {
        {"FrmWDSP4_v3.12", 3, 12}, {"DSP4 123", 12, 3}, {"v2_07", 2, 7}, {"FrmWDSP4", 0, 0},
        {"DSP4" + std::string(32, '_') + "1.2", 0, 0},
        {"DSP4" + std::string(31, '_') + "12.3", 12, 0},  // last position scanned, second digit read
        {"", 0, 0},
    };
    for (const auto& c : cases) {
        int32_t major = -1, minor = -1;
        EXPECT_EQ(F_GetFirmVersion(c.text.c_str(), &major, &minor), 0);
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
    }
}
