// The pack record chain, in the chip's product sector and in memory, and the product records on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
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

// Packs not valid (a validation or retirement cut part-way among them) are walked past; of two
// valid packs of an id (a cut save) the later counts.
TEST(PackChainMemory, WalksPastPacksThatAreNotValid)
{
    std::string mem(0x100, '\xFF');
    const uintptr_t base = reinterpret_cast<uintptr_t>(mem.data());
    uintptr_t at = base;
    for (const auto& [status, id, len] :
         {std::tuple{O, 1, 5}, {W, 1, 7}, {0xFA, 1, 0}, {V, 2, 3}, {0xE8, 1, 2}, {V, 1, 12}}) {
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
    EXPECT_EQ(F_FlashPack_Read(last, &h, buf, 8), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 5, buf, 8), FLASHPACK_ERR_NO_PACK) << "its length leads past the sector";
}

// A status that no save leaves, whole or cut inside one program, or a length past the sector's end,
// is a damaged chain: no record loads from it, and only an erase makes room for saves again.
TEST_F(PackChain, ADamagedChainHoldsNoRecord)
{
    for (const auto& [status, length, damaged] : {std::tuple{0xFAu, 8u, false}, {0xD8u, 8u, false},
                                                  {0x12u, 8u, true}, {0xF9u, 8u, true}, {0xFEu, 0xFFF0u, false}, {0xFEu, 0xFFF1u, true}}) {
        SCOPED_TRACE(testing::Message() << std::hex << status << " " << length);
        erase();
        ASSERT_EQ(save(base_, 1, 8, 1), 0);
        const S_FlashPackHeader h = F_FlashPack_MakeHead(static_cast<uint8_t>(status), 2, static_cast<uint16_t>(length));
        uintptr_t cursor = base_ + 12;
        ASSERT_EQ(F_FlashDrv_Write(&cursor, &h, 4), 0);
        EXPECT_EQ(load(base_, 1), damaged ? "" : pattern(8, 1));
        const bool room = !damaged && length == 8;  // the 0xFFF0 pack fills the sector to its last byte
        EXPECT_EQ(save(base_, 1, 8, 2), room ? 0 : FLASHPACK_ERR_BLOCK);
        EXPECT_EQ(F_FlashPack_BitField_MK(base_, 3, 1), room ? 0 : FLASHPACK_ERR_BLOCK);
    }
}

// A failed retirement still leaves the new pack valid; a failed data byte leaves a 0xFE pack.
// A torn header (free status, some bytes programmed) is taken over when the new
// header fits over it, even in the sector's last place, else sealed as an empty pack left writing.
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
        {true, "\x02\x01\x02", 2, 0x0104, {{0, O, 2, 8}, {12, W, 2, 0}, {16, V, 2, 0x0104}}},
        {true, "\x02", 3, 4, {{0, V, 2, 8}, {12, W, 2, 0}, {16, V, 3, 4}}},
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

    // The chain is marked damaged before the erase: a failed erase leaves the defaults, and nothing else written.
    chip_.setSettings("erase_fail_sector=61\n");
    std::string want = chip_.image();
    want[0x3D0000] = '\0';
    EXPECT_EQ(F_SaveCnf_Product(), -3);
    EXPECT_TRUE(chip_.image() == want);
    EXPECT_TRUE(loads({0, 0, 0}, ConfigIP_Tab_CmdDef, CONFIGIP_DEFAULT_ROWS));
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

// A table save (the fifth pack) cut after each program, and in torn mode inside each, finds the old
// pack or the new, never none nor back; sampled cuts load whole, and the next save (the last that
// fits) stays single.
TEST_F(PackChain, EveryCutPointOfASaveKeepsTheOldOrTheNewRecord)
{
    FlashProd_Mode = {1, 2, 3};
    for (const char* tag : {"first", "second", "old"}) {
        ConfigIP_Tab_Cmd = table(tag);
        ASSERT_EQ(*tag == 'f' ? F_SaveCnf_Product() : F_SaveCnf_Product_ConfigIP(), 0);
    }
    const uintptr_t oldPack = base_ + 3 * (4 + FLASHPACK_BUFFER_SIZE), newPack = oldPack + 4 + FLASHPACK_BUFFER_SIZE;
    for (const auto mode : {quibtest::CutMode::Whole, quibtest::CutMode::Torn}) {
        ConfigIP_Tab_Cmd = table("new");
        quibtest::PowerCut cut(chip_, [] { EXPECT_EQ(F_SaveCnf_Product_ConfigIP(), 0); }, mode);
        ASSERT_GT(cut.points(), FLASHPACK_BUFFER_SIZE);
        quibtest::CutCounts counts("single-record save", mode);
        for (size_t n = 0; n <= cut.points(); ++n) {
            for (size_t w = 0; w < cut.ways(n); ++w) {
                cut.cut(n, w);
                const uintptr_t found = F_FlashPack_SearchPackId(base_, FLASHPACK_ID_CONFIGIP, nullptr, nullptr);
                ASSERT_TRUE(found == oldPack || found == newPack) << cut.describe(n, w) << ": found " << found - base_;
                ASSERT_TRUE(found == newPack || counts["new"] == 0) << "back to the old record, " << cut.describe(n, w);
                if (n < cut.points())
                    counts.add(found == oldPack ? "old" : "new");
                if (n > 5 && n + 3 < cut.points() && n % 499 != 0)
                    continue;
                ASSERT_TRUE(loads({1, 2, 3}, table(found == oldPack ? "old" : "new"))) << cut.describe(n, w);
                ConfigIP_Tab_Cmd = table("next");
                ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0) << "next save, " << cut.describe(n, w);
                ASSERT_TRUE(loads({1, 2, 3}, table("next"))) << cut.describe(n, w);
                const std::vector<Pack> chain = walk(base_);
                EXPECT_EQ(std::count_if(chain.begin(), chain.end(), [](const Pack& p) { return p.status == V; }), 2)
                    << cut.describe(n, w);
                cut.restart();
            }
        }
        EXPECT_GT(counts["old"], 4);
        EXPECT_EQ(counts["new"], static_cast<int>(cut.ways(cut.points() - 1)))
            << "only the cuts at or inside the old pack's retirement";
    }
}


using Loaded = std::pair<std::string, std::string>;  // the product information record, the table

// What a load from nothing kept in memory gives each record: defaults, old, new, superseded, or
// unwritten (bytes no save wrote); the bytes loaded through raw.
Loaded loaded(std::string* raw = nullptr)
{
    F_FlashPack_Init();
    FlashProd_Mode = {7, 8, 9};
    ConfigIP_Tab_Cmd = table("mine");
    EXPECT_EQ(F_LoadCnf_Product(0), 1);
    // Each record's mode has three equal words. (Not a map over the words: the PowerPC leg's
    // libstdc++ orders vectors of 32-bit words wrongly.)
    std::string info = "unwritten";
    for (const auto& [word, name] : {std::pair<uint32_t, const char*>{0, "defaults"}, {1, "superseded"}, {2, "old"},
                                     {9, "new"}})
        if (words(FlashProd_Mode) == std::vector<uint32_t>(FLASHPROD_MODE_WORDS, word))
            info = name;
    std::string t = rowsEqual(ConfigIP_Tab_Cmd, ConfigIP_Tab_CmdDef, 0, CONFIGIP_DEFAULT_ROWS) ? "defaults" : "unwritten";
    for (const char* tag : {"t1", "t2", "old", "new"})
        if (rowsEqual(ConfigIP_Tab_Cmd, table(tag), 0, CONFIGIP_STORED_ROWS))
            t = tag[0] == 't' ? "superseded" : tag;
    if (raw != nullptr)
        *raw = std::string(reinterpret_cast<const char*>(&FlashProd_Mode), sizeof FlashProd_Mode) +
               std::string(reinterpret_cast<const char*>(&ConfigIP_Tab_Cmd), sizeof ConfigIP_Tab_Cmd);
    return {info, t};
}

// The chain's shape, read from the sector's bytes: whether it shows damage (a status that no save
// leaves, whole or cut inside one of its programs, or a length that leads past the sector's end),
// and which ids have a valid pack.
struct Shape {
    bool damaged = false;
    std::set<uint8_t> valid;
};
Shape shape(std::string_view sector)
{
    static const std::set<uint8_t> sound = {0xFF, 0xFE, 0xFC, 0xFA, 0xF8, 0xF0, 0xE8, 0xE0, 0xD8, 0xD0, 0xC8, 0xC0};
    Shape s;
    for (size_t at = 0; sector.size() - at >= 4 && static_cast<uint8_t>(sector[at]) != 0xFF;) {
        const uint8_t status = static_cast<uint8_t>(sector[at]);
        if (status == V)
            s.valid.insert(static_cast<uint8_t>(sector[at + 1]));
        at += 4 + (static_cast<uint8_t>(sector[at + 2]) << 8 | static_cast<uint8_t>(sector[at + 3]));
        if (sound.count(status) == 0 || at > sector.size()) {
            s.damaged = true;
            s.valid.clear();
            break;
        }
    }
    return s;
}

// The ways the sweep cuts the full save's erase: QUIB_ERASE_TEARS, or 120.
unsigned eraseTears()
{
    const char* n = std::getenv("QUIB_ERASE_TEARS");
    return n != nullptr && std::atoi(n) > 0 ? static_cast<unsigned>(std::atoi(n)) : 120;
}

// The full save marks the chain damaged, then erases the sector: a cut leaves the old records, the
// defaults or the new ones, and inside the erase whatever the part-erased older chain shows (a weak
// byte in the old table), counted. A chain whose shape shows damage loads as defaults; the next full
// save gives the new records.
TEST_F(PackChain, CutsOfAFullSaveAreCounted)
{
    chip_.setSettings("weak_bytes=0x3DA01C\n");  // the old table's first text
    FlashProd_Mode = {1, 1, 1};
    ConfigIP_Tab_Cmd = table("t1");
    ASSERT_EQ(F_SaveCnf_Product(), 0);
    ConfigIP_Tab_Cmd = table("t2");
    ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0);
    FlashProd_Mode = {2, 2, 2};
    ASSERT_EQ(F_SaveCnf_Product_Info(), 0);
    ConfigIP_Tab_Cmd = table("old");
    ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0);
    ASSERT_EQ(loaded(), Loaded("old", "old"));
    for (const auto mode : {quibtest::CutMode::Whole, quibtest::CutMode::Torn}) {
        FlashProd_Mode = {9, 9, 9};
        ConfigIP_Tab_Cmd = table("new");
        quibtest::PowerCut cut(chip_, [] { EXPECT_EQ(F_SaveCnf_Product(), 0); }, mode, eraseTears());
        quibtest::CutCounts counts("full product save", mode);
        for (size_t n = 0; n <= cut.points(); ++n) {
            for (size_t w = 0; w < cut.ways(n); ++w) {
                cut.cut(n, w);
                const std::string where = cut.erases(n) && w > 0 ? "inside the erase: " : "";
                // After the erase the sector holds only the new packs, whole once valid; the samples
                // below load them.
                const Shape chain = shape(cut.view(FLASH_OFF_PARAM_PROD, FLASHPACK_BLOCK_SIZE));
                Loaded got = {chain.valid.count(FLASHPACK_ID_PRODUCT) ? "new" : "defaults",
                              chain.valid.count(FLASHPACK_ID_CONFIGIP) ? "new" : "defaults"};
                const bool before = n == 0 || cut.erases(n);  // the erase and what comes before it
                // Loaded for real: the erase and what comes before it, the last steps (the table's
                // validation, torn too) and every 499th whole cut.
                const bool sampled = before || n + 3 >= cut.points() || (n % 499 == 0 && w == 0);
                if (sampled) {
                    std::string bytes, again;
                    const Loaded first = loaded(&bytes);
                    EXPECT_TRUE(before || first == got) << cut.describe(n, w);
                    got = first;
                    if (chain.damaged) {
                        EXPECT_EQ(got, Loaded("defaults", "defaults")) << "a damaged chain, " << cut.describe(n, w);
                        counts.note(where + "damaged");
                    }
                    loaded(&again);
                    if (again != bytes)
                        counts.note(where + "a second load differs");
                }
                if (n < cut.points())
                    counts.add(where + got.first + "/" + got.second);
                if (!sampled)
                    continue;
                FlashProd_Mode = {9, 9, 9};
                ConfigIP_Tab_Cmd = table("new");
                ASSERT_EQ(F_SaveCnf_Product(), 0) << cut.describe(n, w);
                ASSERT_EQ(loaded(), Loaded("new", "new")) << cut.describe(n, w);
                cut.restart();
            }
        }
    }
}

}  // namespace
