#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "flash/EEProm_Prod.h"
#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2Product.h"
#include "platform/host/nor_chip.h"
#include "tests/flash/pack_support.h"
#include "tests/support/chip_root.h"

using packtest::Pack;
using packtest::rowsEqual;
using packtest::table;
using packtest::walk;

namespace {

constexpr uint8_t V = FLASHPACK_STATUS_VALID;

void setRow(int r, uint32_t flag, const std::string& text)
{
    S_ConfigIP_Row& row = ConfigIP_Tab_Cmd[r];
    std::memset(&row, 0, sizeof row);
    F_Flash_SetWord(row.aucFlag, flag);
    std::snprintf(row.acText, sizeof row.acText, "%s", text.c_str());
}

class ProductRecords : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        F_FlashPack_Init();
        FlashProd_Mode = {0, 0, 0};
        ConfigIP_Tab_Cmd = T_ConfigIP_Tab{};
    }
    quibtest::ChipRoot chip_;
};

// Defaults asked for, and an erased sector, give the same result; neither
// touches rows 18 and 19, and the first does not read the chip at all.
TEST_F(ProductRecords, DefaultsAndAnErasedSectorLoadAlike)
{
    for (int useDefaults : {1, 0}) {
        SCOPED_TRACE(useDefaults);
        FlashProd_Mode = {7, 8, 9};
        const T_ConfigIP_Tab mine = ConfigIP_Tab_Cmd = table("mine");
        norsim::resetCounters();
        EXPECT_EQ(F_LoadCnf_Product(useDefaults), 1);
        if (useDefaults) {
            EXPECT_EQ(norsim::counters().reads, 0u);
        }
        EXPECT_EQ(FlashProd_Mode, (T_FlashProd_Mode{0, 0, 0}));
        EXPECT_TRUE(rowsEqual(ConfigIP_Tab_Cmd, ConfigIP_Tab_CmdDef, 0, CONFIGIP_DEFAULT_ROWS));
        EXPECT_TRUE(rowsEqual(ConfigIP_Tab_Cmd, mine, CONFIGIP_DEFAULT_ROWS, CONFIGIP_ROWS));
    }
}

TEST_F(ProductRecords, FullSaveThenLoadRestoresAllButRow19)
{
    FlashProd_Mode = {0x01020304, 0xA0B0C0D0, 0xFFFFFFFF};
    const T_ConfigIP_Tab saved = ConfigIP_Tab_Cmd = table("saved");
    ASSERT_EQ(F_SaveCnf_Product(), 0);
    EXPECT_EQ(walk(FLASH_ADD_PARAM_PROD), (std::vector<Pack>{{0, V, 1, 10240}, {10244, V, 2, 10240}}));
    // The words lie most significant byte first in flash, whatever the host.
    uintptr_t cursor = FLASH_ADD_PARAM_PROD + 4;
    uint8_t head[8];
    ASSERT_EQ(F_FlashDrv_Read(&cursor, head, sizeof head), 0);
    EXPECT_EQ(std::memcmp(head, "\0\0\0\3\1\2\3\4", 8), 0);

    FlashProd_Mode = {0, 0, 0};
    ConfigIP_Tab_Cmd = table("other");
    setRow(19, 1, "kept");
    const T_ConfigIP_Tab other = ConfigIP_Tab_Cmd;
    F_FlashPack_Init();
    EXPECT_EQ(F_LoadCnf_Product(0), 1);
    EXPECT_EQ(FlashProd_Mode, (T_FlashProd_Mode{0x01020304, 0xA0B0C0D0, 0xFFFFFFFF}));
    EXPECT_TRUE(rowsEqual(ConfigIP_Tab_Cmd, saved, 0, CONFIGIP_STORED_ROWS));
    EXPECT_TRUE(rowsEqual(ConfigIP_Tab_Cmd, other, CONFIGIP_STORED_ROWS, CONFIGIP_ROWS));
}

// Product records of every format version, as an older program left them.
TEST_F(ProductRecords, ProductFormatVersions)
{
    struct Case {
        uint32_t version;
        T_FlashProd_Mode want;
    };
    const Case cases[] = {
        {1, {0xA, 0xB, 0}}, {3, {0xA, 0xB, 0xC}}, {0x80000000u, {0xA, 0xB, 0xC}}, {0, {0, 0, 0}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        uint8_t rec[16];
        F_Flash_SetWord(rec, c.version);
        F_Flash_SetWord(rec + 4, 0xA);
        F_Flash_SetWord(rec + 8, 0xB);
        F_Flash_SetWord(rec + 12, 0xC);
        ASSERT_EQ(F_FlashPack_SavePackId(FLASH_ADD_PARAM_PROD, FLASHPACK_ID_PRODUCT, rec, sizeof rec), 0);
        FlashProd_Mode = {5, 5, 5};
        F_FlashPack_Init();
        EXPECT_EQ(F_LoadCnf_Product_Info(0), 1);
        EXPECT_EQ(FlashProd_Mode, c.want);
    }
    // An empty pack counts as no record.
    ASSERT_EQ(F_FlashPack_SavePackId(FLASH_ADD_PARAM_PROD, FLASHPACK_ID_PRODUCT, nullptr, 0), 0);
    V_A_cFlashMem[0] = 0xFF;
    FlashProd_Mode = {5, 5, 5};
    EXPECT_EQ(F_LoadCnf_Product_Info(0), 1);
    EXPECT_EQ(FlashProd_Mode, (T_FlashProd_Mode{0, 0, 0}));
}

// Single saves after a full save append until the sector is full; the save
// that no longer fits is refused and the newest record still loads.
TEST_F(ProductRecords, SingleSavesAppendUntilTheSectorIsFull)
{
    FlashProd_Mode = {1, 2, 3};
    ConfigIP_Tab_Cmd = table("full");
    ASSERT_EQ(F_SaveCnf_Product(), 0);
    for (int i = 0; i < 4; ++i) {
        setRow(0, 0, "single " + std::to_string(i));
        ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0) << i;
    }
    const T_ConfigIP_Tab last = ConfigIP_Tab_Cmd;
    setRow(0, 0, "refused");
    EXPECT_EQ(F_SaveCnf_Product_ConfigIP(), FLASHPACK_ERR_BLOCK);
    FlashProd_Mode = {9, 9, 9};
    EXPECT_EQ(F_SaveCnf_Product_Info(), FLASHPACK_ERR_BLOCK);

    FlashProd_Mode = {0, 0, 0};
    ConfigIP_Tab_Cmd = T_ConfigIP_Tab{};
    EXPECT_EQ(F_LoadCnf_Product(0), 1);
    EXPECT_EQ(FlashProd_Mode, (T_FlashProd_Mode{1, 2, 3}));
    EXPECT_TRUE(rowsEqual(ConfigIP_Tab_Cmd, last, 0, CONFIGIP_STORED_ROWS));

    // A full save erases first and makes room again; without the erase it stops.
    EXPECT_EQ(F_SaveCnf_Product(), 0);
    EXPECT_EQ(walk(FLASH_ADD_PARAM_PROD).size(), 2u);
    chip_.setSettings("erase_fail_sector=61\n");
    const std::string before = chip_.image();
    FlashProd_Mode = {4, 5, 6};
    EXPECT_EQ(F_SaveCnf_Product(), -3);
    EXPECT_TRUE(chip_.image() == before);
}

// A damaged record cannot hand the table's consumer a text without an end.
TEST(ProductCodec, DecodedTextsAreAlwaysTerminated)
{
    F_FlashPack_Init();
    F_Flash_SetWord(V_A_cFlashMem, 1);
    std::memset(V_A_cFlashMem + 4, 'x', CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
    F_Flash_DecodeStruct_ConfigIP(0);
    for (int r = 0; r < CONFIGIP_STORED_ROWS; ++r)
        EXPECT_EQ(std::strlen(ConfigIP_Tab_Cmd[r].acText), static_cast<size_t>(CONFIGIP_TEXT_SIZE - 1));
}

// The 2 MiB chip has no product sector: loads give the defaults, saves are
// refused, and nothing is read or written past the window.
TEST(ProductRecords2MiB, NoProductSector)
{
    quibtest::ChipRoot chip(0xC8);
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    F_FlashPack_Init();
    FlashProd_Mode = {1, 1, 1};
    EXPECT_EQ(F_LoadCnf_Product(0), 1);
    EXPECT_EQ(FlashProd_Mode, (T_FlashProd_Mode{0, 0, 0}));
    const std::string before = chip.image();
    EXPECT_EQ(F_SaveCnf_Product(), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(F_SaveCnf_Product_Info(), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(F_SaveCnf_Product_ConfigIP(), FLASHPACK_ERR_RANGE);
    EXPECT_TRUE(chip.image() == before);
}

}  // namespace
