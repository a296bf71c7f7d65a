// The pack record chain, in the chip's product sector and in memory, and the product records on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "flash/EEProm_Prod.h"
#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2ConfigIP.h"
#include "flash/flh2Product.h"
#include "platform/host/nor_chip.h"
#include "tests/support/image_bytes.h"
#include "tests/support/power_cut.h"

namespace {

constexpr uint8_t V = FLASHPACK_STATUS_VALID, O = FLASHPACK_STATUS_OBSOLETE, W = FLASHPACK_STATUS_WRITING;
using quibtest::be32, quibtest::pattern;

struct Pack {
    uint32_t offset;
    uint8_t status, id;
    uint16_t length;
    bool operator==(const Pack&) const = default;
};

// The chain at base, walked the way a reader outside the store would.
std::vector<Pack> walk(uintptr_t base)
{
    std::vector<Pack> out;
    S_FlashPackHeader h;
    for (uintptr_t a = base; F_FlashPack_ReadHead(a, &h) == 0 && h.ucStatus != FLASHPACK_STATUS_FREE;) {
        out.push_back({static_cast<uint32_t>(a - base), h.ucStatus, h.ucId, F_FlashPack_HeadLength(h)});
        if (F_FlashPack_NextHead(&a, &h) != 0)
            break;
    }
    return out;
}

int save(uintptr_t base, uint8_t id, uint32_t len, uint8_t seed)
{
    return F_FlashPack_SavePackId(base, id, pattern(len, seed).data(), len);
}

std::string load(uintptr_t base, uint8_t id, int size = 0x10000)
{
    std::string out(static_cast<size_t>(size), '\0');
    out.resize(static_cast<size_t>(std::max(0, F_FlashPack_LoadPackId(base, id, out.data(), size))));
    return out;
}

// An erased chip, mapped, with the chain at the product sector.
class PackChain : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        erase();
    }
    void erase()
    {
        ASSERT_EQ(F_FlashDrv_EraseSector(base_), 1);
        F_FlashPack_Init();
    }
    quibtest::ChipRoot chip_;
    const uintptr_t& base_ = FLASH_ADD_PARAM_PROD;  // placed by the driver's Init
};

TEST_F(PackChain, SavesRetireOlderPacksAndBitFieldsCount)
{
    for (uint8_t i = 0; i < 4; ++i)
        ASSERT_EQ(save(base_, 1, 100 + i, i) + (i == 1 ? save(base_, 2, 3, 9) : 0), 0);
    EXPECT_EQ(walk(base_), (std::vector<Pack>{{0, O, 1, 100}, {104, O, 1, 101}, {209, V, 2, 3}, {216, O, 1, 102},
                                              {322, V, 1, 103}}));
    EXPECT_EQ(load(base_, 1), pattern(103, 3));
    EXPECT_EQ(load(base_, 2), pattern(3, 9));

    erase();
    ASSERT_EQ(F_FlashPack_BitField_MK(base_, 7, 2), 0);
    S_FlashPackHeader h;
    const uintptr_t field = F_FlashPack_SearchPackId(base_, 7, &h, nullptr);
    for (int c = 0; c <= 16; ++c) {
        int count = c;
        ASSERT_EQ(F_FlashPack_BitField_Inc(base_, 7, &count), c < 16 ? 0 : FLASHPACK_ERR_BITFIELD) << c;
        EXPECT_EQ(count, std::min(c + 1, 16));
        uint8_t bits[2];
        ASSERT_EQ(F_FlashPack_Read(field, &h, bits, 2), 2);
        for (int k = 0; k < 2; ++k)
            EXPECT_EQ(bits[k], static_cast<uint8_t>(0xFF << std::clamp(count - 8 * k, 0, 8))) << count << " " << k;
    }
    EXPECT_EQ(F_FlashPack_BitField_Get(base_, 7), 0);
    ASSERT_EQ(F_FlashPack_BitField_MK(base_, 7, 0), 0);  // retires the old field, is exhausted at once
    int count = 0;
    EXPECT_EQ(F_FlashPack_BitField_Inc(base_, 7, &count), FLASHPACK_ERR_BITFIELD);
    EXPECT_EQ(F_FlashPack_BitField_Get(base_, 8), FLASHPACK_ERR_NO_PACK);
}

// The save that no longer fits in a (nearly) full sector is refused and loses nothing.
TEST_F(PackChain, FullSectorRefusesTheSaveAndLosesNothing)
{
    for (const auto& [len, fits] : {std::pair{10240u, 6}, {65532u, 1}, {65533u, 0}, {4092u, 16}, {65528u, 1}}) {
        SCOPED_TRACE(len);
        erase();
        for (int i = 0; i < fits; ++i)
            ASSERT_EQ(save(base_, 1, len, static_cast<uint8_t>(i)), 0);
        ASSERT_EQ(walk(base_).size(), static_cast<size_t>(fits));
        EXPECT_EQ(save(base_, 1, len, 99), FLASHPACK_ERR_BLOCK);
        const bool roomForAHeader = FLASHPACK_BLOCK_SIZE - fits * (len + 4) >= 4;
        EXPECT_EQ(save(base_, 2, 0, 0), roomForAHeader ? 0 : FLASHPACK_ERR_BLOCK);
        EXPECT_EQ(F_FlashPack_SearchPackId(base_, 2, nullptr, nullptr) != 0, roomForAHeader) << "even the last 4 bytes";
        EXPECT_EQ(F_FlashPack_BitField_MK(base_, 3, 0x10000), FLASHPACK_ERR_BLOCK);
        EXPECT_EQ(load(base_, 1), fits > 0 ? pattern(len, static_cast<uint8_t>(fits - 1)) : "");
        EXPECT_EQ(walk(base_ + FLASHPACK_BLOCK_SIZE).size(), 0u) << "the next block is still erased";
    }
    // Without a free header the chain ends at the sector's end, whatever lies beyond.
    ASSERT_EQ(save(base_ + FLASHPACK_BLOCK_SIZE, 9, 8, 2), 0);
    uintptr_t end = 0;
    EXPECT_EQ(F_FlashPack_SearchPackId(base_, 9, nullptr, &end) + end, base_ + FLASHPACK_BLOCK_SIZE);
}

// Packs not valid are walked past; of two valid packs of an id (a cut save) the later counts.
TEST(PackChainMemory, WalksPastPacksThatAreNotValid)
{
    std::string mem(0x100, '\xFF');
    const uintptr_t base = reinterpret_cast<uintptr_t>(mem.data());
    uintptr_t at = base;
    for (const auto& [status, id, len] :
         {std::tuple{O, 1, 5}, {W, 1, 7}, {0x12, 1, 0}, {V, 2, 3}, {V, 1, 2}, {V, 1, 12}}) {
        const S_FlashPackHeader h = F_FlashPack_MakeHead(status, static_cast<uint8_t>(id), static_cast<uint16_t>(len));
        ASSERT_EQ(F_FlashPack_Write(at, &h, pattern(len, status).data(), len), 0);
        at += 4 + len;
    }
    uintptr_t end = 0;
    EXPECT_EQ(F_FlashPack_SearchPackId(base, 1, nullptr, &end), base + 37);
    EXPECT_EQ(F_FlashPack_SearchPackId(base, 3, nullptr, &end), 0u);
    EXPECT_EQ(end, at);
    EXPECT_EQ(load(base, 1, 8), pattern(8, V)) << "a smaller destination takes the first bytes";
    S_FlashPackHeader h;
    EXPECT_EQ(F_FlashPack_ReadHead(end, &h) + F_FlashPack_NextHead(&end, &h), FLASHPACK_ERR_END);
    EXPECT_EQ(F_FlashPack_ReadHead(0, &h), FLASHPACK_ERR_ADDRESS);
}

// A pack at the window's last bytes goes to the driver, which refuses it, not to memory beyond.
TEST_F(PackChain, PacksAtTheWindowEndStayInsideIt)
{
    const uintptr_t base = FLASH_ADD_PARAM_RFU1, last = FLASH_ADD_DEBUT + FLASH_Size - 4;
    ASSERT_EQ(save(base, 1, 0xFFF8, 1), 0);
    const S_FlashPackHeader h = F_FlashPack_MakeHead(V, 5, 8);
    uint8_t buf[8] = {};
    EXPECT_EQ(F_FlashPack_Write(last, &h, buf, 8), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(chip_.image().substr(FLASH_Size - 4), std::string(4, '\xFF'));
    uintptr_t cursor = last;
    ASSERT_EQ(F_FlashDrv_Write(&cursor, &h, 4), 0);
    ASSERT_EQ(F_FlashPack_SearchPackId(base, 5, nullptr, nullptr), last);
    int count = 0;
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 5, buf, 8), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(F_FlashPack_BitField_Inc(base, 5, &count), FLASHPACK_ERR_RANGE);
}

// A failed retirement still leaves the new pack valid; a failed data byte leaves a 0xFE pack.
// A torn header (free status, some bytes programmed) is taken over when the new
// header fits over it, even in the sector's last place, else sealed as an empty obsolete pack.
TEST_F(PackChain, FailedProgramsAndTornHeadersLoseNoRecord)
{
    ASSERT_EQ(save(base_, 1, 16, 1), 0);
    const S_FlashPackHeader h = F_FlashPack_MakeHead(O, 0, 0);  // only clears bits, but the status is taken
    EXPECT_EQ(F_FlashPack_Write(base_, &h, nullptr, 0), FLASHPACK_ERR_NOT_FREE);
    chip_.setSettings("program_fail_always=0x3D0000\n");  // the first pack's status
    EXPECT_EQ(save(base_, 1, 16, 2), -3);
    EXPECT_EQ(load(base_, 1), pattern(16, 2));
    chip_.setSettings("program_fail_always=0x3D0030\n");  // a data byte of the next pack
    EXPECT_EQ(save(base_, 2, 16, 3), -3);
    chip_.setSettings("");
    ASSERT_EQ(save(base_, 1, 4, 4), 0);
    EXPECT_EQ(walk(base_), (std::vector<Pack>{{0, O, 1, 16}, {20, O, 1, 16}, {40, W, 2, 16}, {60, V, 1, 4}}));
    EXPECT_EQ(load(base_, 2), "");

    const std::tuple<bool, std::string, uint8_t, uint16_t, std::vector<Pack>> torn[] = {
        {true, "\x02", 2, 0x0102, {{0, O, 2, 8}, {12, V, 2, 0x0102}}},
        {true, "\x02\x01\x02", 2, 0x0102, {{0, O, 2, 8}, {12, V, 2, 0x0102}}},
        {true, "\x02\x01", 2, 0x0002, {{0, O, 2, 8}, {12, V, 2, 0x0002}}},
        {true, "\x02\x01\x02", 2, 0x0104, {{0, O, 2, 8}, {12, O, 2, 0}, {16, V, 2, 0x0104}}},
        {true, "\x02", 3, 4, {{0, V, 2, 8}, {12, O, 2, 0}, {16, V, 3, 4}}},
        {false, "\x02\xFF\xFC", 2, 0xFFFC, {{0, V, 2, 0xFFFC}}},
    };
    for (const auto& [before, bytes, id, len, want] : torn) {
        SCOPED_TRACE(testing::Message() << bytes.size() << " torn bytes, id " << int(id) << " length " << len);
        erase();
        ASSERT_EQ(before ? save(base_, 2, 8, 1) : 0, 0);
        uintptr_t cursor = base_ + (before ? 12 : 0) + 1;
        ASSERT_EQ(F_FlashDrv_Write(&cursor, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
        ASSERT_EQ(save(base_, id, len, 5), 0);
        EXPECT_EQ(walk(base_), want);
        EXPECT_EQ(load(base_, id), pattern(len, 5));
    }
}

// ---- The product records ----

// A network command table unlike the defaults in every row.
T_ConfigIP_Tab table(const std::string& tag)
{
    T_ConfigIP_Tab t{};
    for (int r = 0; r < CONFIGIP_ROWS; ++r) {
        F_Flash_SetWord(t.rows[r].aucFlag, static_cast<uint32_t>(r & 1));
        std::snprintf(t.rows[r].acText, sizeof t.rows[r].acText, "%s %d", tag.c_str(), r);
    }
    return t;
}

bool rowsEqual(const T_ConfigIP_Tab& a, const T_ConfigIP_Tab& b, int from, int to)
{
    return std::memcmp(&a.rows[from], &b.rows[from], static_cast<size_t>(to - from) * sizeof(S_ConfigIP_Row)) == 0;
}

// The mode's words, to compare and print as one value.
std::vector<uint32_t> words(const T_FlashProd_Mode& mode)
{
    return std::vector<uint32_t>(mode.words, mode.words + FLASHPROD_MODE_WORDS);
}

// Whether both records load, from nothing kept in memory, as mode and the first rows of table.
bool loads(const T_FlashProd_Mode& mode, const T_ConfigIP_Tab& table, int rows = CONFIGIP_STORED_ROWS)
{
    F_FlashPack_Init();
    FlashProd_Mode = {7, 8, 9};
    const T_ConfigIP_Tab mine = ConfigIP_Tab_Cmd = ::table("mine");
    return F_LoadCnf_Product(0) == 1 && words(FlashProd_Mode) == words(mode) &&
           rowsEqual(ConfigIP_Tab_Cmd, table, 0, rows) && rowsEqual(ConfigIP_Tab_Cmd, mine, rows, CONFIGIP_ROWS);
}

// Defaults leave rows 18 and 19, a save never stores row 19; words lie high byte first.
TEST_F(PackChain, ProductRecordsSaveLoadAndDefaults)
{
    EXPECT_TRUE(loads({0, 0, 0}, ConfigIP_Tab_CmdDef, CONFIGIP_DEFAULT_ROWS));
    EXPECT_EQ(std::memcmp(ConfigIP_Tab_Cmd.rows[0].aucFlag, "\0\0\0\1", 4), 0) << "flag word, high byte first";

    FlashProd_Mode = {0x01020304, 0xA0B0C0D0, 0xFFFFFFFF};
    ConfigIP_Tab_Cmd = table("saved");
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(F_SaveCnf_Product(), 0);
    EXPECT_EQ(chip_.image().substr(0x3D0004, 8), std::string("\0\0\0\3\1\2\3\4", 8));
    EXPECT_TRUE(loads({0x01020304, 0xA0B0C0D0, 0xFFFFFFFF}, table("saved")));
    norsim::resetCounters();
    EXPECT_EQ(F_LoadCnf_Product(1), 1);
    EXPECT_EQ(words(FlashProd_Mode), words({0, 0, 0})) << "defaults asked for";
    EXPECT_EQ(norsim::counters().reads, 0u);

    chip_.setSettings("erase_fail_sector=61\n");
    const std::string before = chip_.image();
    EXPECT_EQ(F_SaveCnf_Product(), -3);
    EXPECT_TRUE(chip_.image() == before);
}

// Records of each format version as older programs left them; an empty pack is none.
TEST_F(PackChain, ProductRecordsOfEachFormatVersionAndDamagedTexts)
{
    for (const auto& [version, want] : {std::pair{1u, T_FlashProd_Mode{10, 11, 0}}, {3u, {10, 11, 12}},
                                        {0x80000000u, {10, 11, 12}}, {0u, {0, 0, 0}}, {~0u, {0, 0, 0}}}) {
        const std::string rec = be32(version) + be32(10) + be32(11) + be32(12);
        ASSERT_EQ(F_FlashPack_SavePackId(base_, FLASHPACK_ID_PRODUCT, rec.data(), version == ~0u ? 0 : 16), 0);
        V_A_cFlashMem[0] = 0xFF;  // an empty pack must not let the last record through
        EXPECT_EQ(F_LoadCnf_Product_Info(0), 1);
        EXPECT_EQ(words(FlashProd_Mode), words(want)) << version;
    }
    F_Flash_SetWord(V_A_cFlashMem, 1);
    std::memset(V_A_cFlashMem + 4, 'x', CONFIGIP_STORED_ROWS * sizeof(S_ConfigIP_Row));
    F_Flash_DecodeStruct_ConfigIP(0);
    for (int r = 0; r < CONFIGIP_STORED_ROWS; ++r)
        EXPECT_EQ(std::strlen(ConfigIP_Tab_Cmd.rows[r].acText), static_cast<size_t>(CONFIGIP_TEXT_SIZE - 1));
}

// The 2 MiB chip has no product sector: defaults, refused saves, nothing past the window.
TEST(ProductRecords2MiB, NoProductSector)
{
    quibtest::ChipRoot chip(0xC8);
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    EXPECT_TRUE(loads({0, 0, 0}, ConfigIP_Tab_CmdDef, CONFIGIP_DEFAULT_ROWS));
    for (auto saveRecord : {F_SaveCnf_Product, F_SaveCnf_Product_Info, F_SaveCnf_Product_ConfigIP})
        EXPECT_EQ(saveRecord(), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(chip.image().find_first_not_of('\xFF'), std::string::npos);
}

// A table save (the fifth pack) cut after each program finds the old pack or the new, never
// none nor back; sampled cuts load whole, and the next save (the last that fits) stays single.
TEST_F(PackChain, EveryCutPointOfASaveKeepsTheOldOrTheNewRecord)
{
    FlashProd_Mode = {1, 2, 3};
    for (const char* tag : {"first", "second", "old"}) {
        ConfigIP_Tab_Cmd = table(tag);
        ASSERT_EQ(*tag == 'f' ? F_SaveCnf_Product() : F_SaveCnf_Product_ConfigIP(), 0);
    }
    ConfigIP_Tab_Cmd = table("new");
    quibtest::PowerCut cut(chip_, [] { EXPECT_EQ(F_SaveCnf_Product_ConfigIP(), 0); });
    ASSERT_GT(cut.points(), FLASHPACK_BUFFER_SIZE);
    const uintptr_t oldPack = base_ + 3 * (4 + FLASHPACK_BUFFER_SIZE), newPack = oldPack + 4 + FLASHPACK_BUFFER_SIZE;
    int old = 0, fresh = 0;
    for (size_t n = 0; n <= cut.points(); ++n) {
        cut.cutAfter(n);
        const uintptr_t found = F_FlashPack_SearchPackId(base_, FLASHPACK_ID_CONFIGIP, nullptr, nullptr);
        ASSERT_TRUE(found == oldPack || found == newPack) << "cut after " << n << ": found " << found - base_;
        ASSERT_TRUE(found == newPack || fresh == 0) << "back to the old record at " << n;
        if (n < cut.points())
            ++(found == oldPack ? old : fresh);
        if (n > 5 && n + 3 < cut.points() && n % 499 != 0)
            continue;
        ASSERT_TRUE(loads({1, 2, 3}, table(found == oldPack ? "old" : "new"))) << "cut after " << n;
        ConfigIP_Tab_Cmd = table("next");
        ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0) << "next save after a cut after " << n;
        ASSERT_TRUE(loads({1, 2, 3}, table("next"))) << n;
        const std::vector<Pack> chain = walk(base_);
        EXPECT_EQ(std::count_if(chain.begin(), chain.end(), [](const Pack& p) { return p.status == V; }), 2) << n;
        cut.restart();
    }
    EXPECT_GT(old, 4);
    EXPECT_EQ(fresh, 1) << "only the cut between the new pack's validation and the old one's retirement";
}

}  // namespace
