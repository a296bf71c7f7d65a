#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "tests/flash/pack_support.h"
#include "tests/support/chip_root.h"

using packtest::Pack;
using packtest::pattern;
using packtest::walk;

namespace {

constexpr uint8_t V = FLASHPACK_STATUS_VALID;
constexpr uint8_t O = FLASHPACK_STATUS_OBSOLETE;
constexpr uint8_t W = FLASHPACK_STATUS_WRITING;

// The same chain behaviour in the product sector of the simulated chip and in
// a sector image held in ordinary memory.
class PackChain : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (GetParam()) {
            chip_ = std::make_unique<quibtest::ChipRoot>();
            ASSERT_EQ(F_FlashDrv_Init(), 0);
            base_ = FLASH_ADD_PARAM_PROD;
        } else {
            base_ = mem_.base();
        }
        F_FlashPack_Init();
    }

    // Every byte of the block after the chain's sector is still erased.
    void expectNextBlockErased() const
    {
        std::vector<uint8_t> next(FLASHPACK_BLOCK_SIZE);
        uintptr_t cursor = base_ + FLASHPACK_BLOCK_SIZE;
        if (GetParam())
            ASSERT_EQ(F_FlashDrv_Read(&cursor, next.data(), FLASHPACK_BLOCK_SIZE), 0);
        else
            std::memcpy(next.data(), mem_.bytes() + FLASHPACK_BLOCK_SIZE, next.size());
        EXPECT_EQ(next, std::vector<uint8_t>(FLASHPACK_BLOCK_SIZE, 0xFF));
    }

    std::vector<uint8_t> load(uint8_t id, int size = 0x10000) const
    {
        std::vector<uint8_t> out(static_cast<size_t>(size));
        int n = F_FlashPack_LoadPackId(base_, id, out.data(), size);
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }

    std::unique_ptr<quibtest::ChipRoot> chip_;
    packtest::MemSector mem_;
    uintptr_t base_ = 0;
};

TEST_P(PackChain, SavingAnIdAgainLeavesExactlyOneValidPack)
{
    uintptr_t end = 1;
    EXPECT_EQ(F_FlashPack_SearchPackId(base_, 1, nullptr, &end), 0u);
    EXPECT_EQ(end, base_);
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_EQ(F_FlashPack_SavePackId(base_, 1, pattern(100 + i, i).data(), 100 + i), 0);
        if (i == 1) {
            ASSERT_EQ(F_FlashPack_SavePackId(base_, 2, pattern(3, 9).data(), 3), 0);
        }
    }
    const std::vector<Pack> want = {
        {0, O, 1, 100}, {104, O, 1, 101}, {209, V, 2, 3}, {216, O, 1, 102}, {322, V, 1, 103}};
    EXPECT_EQ(walk(base_), want);
    EXPECT_EQ(load(1), pattern(103, 3));
    EXPECT_EQ(load(2), pattern(3, 9));
    S_FlashPackHeader h;
    EXPECT_EQ(F_FlashPack_SearchPackId(base_, 1, &h, &end), base_ + 322);
    EXPECT_EQ(F_FlashPack_HeadLength(h), 103);
    EXPECT_EQ(F_FlashPack_SearchPackId(base_, 3, &h, &end), 0u);
    EXPECT_EQ(end, base_ + 429);
}

TEST_P(PackChain, BitFieldCountsOverItsWholeRangeAndStops)
{
    ASSERT_EQ(F_FlashPack_BitField_MK(base_, 7, 2), 0);
    S_FlashPackHeader h;
    uintptr_t end = 0;
    const uintptr_t field = F_FlashPack_SearchPackId(base_, 7, &h, &end);
    ASSERT_NE(field, 0u);
    for (int c = 0; c < 16; ++c) {
        int count = c;
        ASSERT_EQ(F_FlashPack_BitField_Inc(base_, 7, &count), 0) << c;
        EXPECT_EQ(count, c + 1);
        uint8_t bytes[2];
        ASSERT_EQ(F_FlashPack_Read(field, &h, bytes, 2), 2);
        for (int k = 0; k < 2; ++k) {
            const int cleared = std::clamp(count - 8 * k, 0, 8);
            EXPECT_EQ(bytes[k], static_cast<uint8_t>(0xFF << cleared)) << "count " << count << " byte " << k;
        }
    }
    int count = 16;
    EXPECT_EQ(F_FlashPack_BitField_Inc(base_, 7, &count), FLASHPACK_ERR_BITFIELD);
    EXPECT_EQ(count, 16);
    EXPECT_EQ(F_FlashPack_BitField_Get(base_, 7), 0);

    // A new field of the id retires the old one; an empty field is exhausted at once.
    ASSERT_EQ(F_FlashPack_BitField_MK(base_, 7, 0), 0);
    EXPECT_EQ(walk(base_), (std::vector<Pack>{{0, O, 7, 2}, {6, V, 7, 0}}));
    count = 0;
    EXPECT_EQ(F_FlashPack_BitField_Get(base_, 7), FLASHPACK_ERR_BITFIELD);
    EXPECT_EQ(F_FlashPack_BitField_Inc(base_, 7, &count), FLASHPACK_ERR_BITFIELD);
    EXPECT_EQ(F_FlashPack_BitField_Get(base_, 8), FLASHPACK_ERR_NO_PACK);
    EXPECT_EQ(F_FlashPack_BitField_Inc(base_, 8, &count), FLASHPACK_ERR_NO_PACK);
}

// Packs that fill the sector exactly, or nearly: the save that no longer fits
// is refused, writes nothing, and the record it would have replaced survives.
// A chain with no free header ends at the sector's end, whatever lies beyond.
TEST_P(PackChain, FullSectorRefusesTheSaveAndLosesNothing)
{
    struct Case {
        uint32_t len;
        int fits;
    };
    for (const Case c : {Case{10240, 6}, Case{65532, 1}, Case{65533, 0}, Case{4092, 16}}) {
        SCOPED_TRACE(c.len);
        if (GetParam())
            ASSERT_EQ(F_FlashDrv_EraseSector(base_), 1);
        else
            std::memset(mem_.bytes(), 0xFF, FLASHPACK_BLOCK_SIZE);
        for (int i = 0; i < c.fits; ++i)
            ASSERT_EQ(F_FlashPack_SavePackId(base_, 1, pattern(c.len, static_cast<uint8_t>(i)).data(), c.len), 0);
        ASSERT_EQ(walk(base_).size(), static_cast<size_t>(c.fits));
        EXPECT_EQ(F_FlashPack_SavePackId(base_, 1, pattern(c.len, 99).data(), c.len), FLASHPACK_ERR_BLOCK);
        const bool roomForHeader = FLASHPACK_BLOCK_SIZE - c.fits * (c.len + 4) >= 4;
        EXPECT_EQ(F_FlashPack_SavePackId(base_, 2, nullptr, 0), roomForHeader ? 0 : FLASHPACK_ERR_BLOCK);
        EXPECT_EQ(F_FlashPack_BitField_MK(base_, 3, 0x10000), FLASHPACK_ERR_BLOCK);
        if (c.fits > 0) {
            EXPECT_EQ(load(1), pattern(c.len, static_cast<uint8_t>(c.fits - 1)));
        }
        EXPECT_EQ(F_FlashPack_SearchPackId(base_, 1, nullptr, nullptr) != 0, c.fits > 0);
        expectNextBlockErased();
    }
    const uintptr_t next = base_ + FLASHPACK_BLOCK_SIZE;
    ASSERT_EQ(F_FlashPack_SavePackId(next, 9, pattern(8, 2).data(), 8), 0);
    uintptr_t end = 0;
    EXPECT_EQ(F_FlashPack_SearchPackId(base_, 9, nullptr, &end), 0u);
    EXPECT_EQ(end, next);
}

INSTANTIATE_TEST_SUITE_P(FlashAndMemory, PackChain, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Flash" : "Memory"); });

// Obsolete, interrupted and unknown statuses hide a pack; its length still
// leads the walk past it. Of two valid packs of an id (a save cut before it
// retired the older) the later is the record.
TEST(PackChainMemory, WalksPastPacksThatAreNotValid)
{
    packtest::MemSector mem;
    const uintptr_t base = mem.base();
    uintptr_t at = base;
    const struct {
        uint8_t status, id;
        uint16_t len;
    } packs[] = {{O, 1, 5}, {W, 1, 7}, {0x12, 1, 0}, {V, 2, 3}, {V, 1, 2}, {V, 1, 12}};
    for (const auto& p : packs) {
        const S_FlashPackHeader h = F_FlashPack_MakeHead(p.status, p.id, p.len);
        ASSERT_EQ(F_FlashPack_Write(at, &h, pattern(p.len, p.status).data(), p.len), 0);
        at += 4 + p.len;
    }
    S_FlashPackHeader h;
    uintptr_t end = 0;
    EXPECT_EQ(F_FlashPack_SearchPackId(base, 1, &h, &end), base + 37);
    EXPECT_EQ(V_S_sFlashPackHeader.aucLength[1], 12);
    EXPECT_EQ(F_FlashPack_SearchPackId(base, 3, &h, &end), 0u);
    EXPECT_EQ(end, at);

    // A destination smaller than the pack takes its first bytes only.
    uint8_t small[10];
    std::memset(small, 0xAA, sizeof small);
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 1, small, 8), 8);
    const std::vector<uint8_t> want = pattern(12, V);
    EXPECT_TRUE(std::equal(small, small + 8, want.begin()));
    EXPECT_EQ(small[8], 0xAA);
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 1, small, 0), 0);

    uintptr_t cursor = end;
    ASSERT_EQ(F_FlashPack_ReadHead(cursor, &h), 0);
    EXPECT_EQ(F_FlashPack_NextHead(&cursor, &h), FLASHPACK_ERR_END);
    EXPECT_EQ(cursor, end);
    EXPECT_EQ(F_FlashPack_ReadHead(0, &h), FLASHPACK_ERR_ADDRESS);
    end = 1;
    EXPECT_EQ(F_FlashPack_SearchPackId(0, 1, &h, &end), 0u);
    EXPECT_EQ(end, 0u);
}

// Programming failures on the chip: a save whose older pack cannot be retired
// still leaves its own pack valid and loaded; one that fails in its data
// leaves a 0xFE pack that later saves walk past; the next good save retires
// every older pack of its id.
TEST(PackChainFlash, ProgrammingFailuresLoseNoRecord)
{
    quibtest::ChipRoot chip;
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    F_FlashPack_Init();
    const uintptr_t base = FLASH_ADD_PARAM_PROD;
    ASSERT_EQ(F_FlashPack_SavePackId(base, 1, pattern(16, 1).data(), 16), 0);
    const S_FlashPackHeader h = F_FlashPack_MakeHead(W, 5, 1);
    EXPECT_EQ(F_FlashPack_Write(base, &h, "x", 1), FLASHPACK_ERR_NOT_FREE);

    std::vector<uint8_t> out(16);
    chip.setSettings("program_fail_always=0x3D0000\n");  // the first pack's status
    EXPECT_EQ(F_FlashPack_SavePackId(base, 1, pattern(16, 2).data(), 16), -3);
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 1, out.data(), 16), 16);
    EXPECT_EQ(out, pattern(16, 2));

    chip.setSettings("program_fail_always=0x3D0030\n");  // a data byte of the next pack
    EXPECT_EQ(F_FlashPack_SavePackId(base, 2, pattern(16, 3).data(), 16), -3);
    chip.setSettings("");
    ASSERT_EQ(F_FlashPack_SavePackId(base, 1, pattern(4, 4).data(), 4), 0);
    EXPECT_EQ(walk(base), (std::vector<Pack>{{0, O, 1, 16}, {20, O, 1, 16}, {40, W, 2, 16}, {60, V, 1, 4}}));
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 1, out.data(), 16), 4);
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 2, out.data(), 16), FLASHPACK_ERR_NO_PACK);
}

// A cut inside a header leaves a free status over some of its bytes (id, then
// the length). A save whose header can be programmed over them takes the
// place, even the last one the sector has; any other seals the torn header as
// an empty obsolete pack and goes after it.
TEST(PackChainFlash, TornHeaderIsTakenOverOrSealed)
{
    struct Case {
        bool before;       // a valid pack of id 2 (length 8) ahead of the torn header
        std::string torn;  // the header bytes after the status that the cut left
        uint8_t id;
        uint16_t len;
        std::vector<Pack> want;
    };
    const Case cases[] = {
        {true, "\x02", 2, 0x0102, {{0, O, 2, 8}, {12, V, 2, 0x0102}}},
        {true, "\x02\x01\x02", 2, 0x0102, {{0, O, 2, 8}, {12, V, 2, 0x0102}}},
        {true, "\x02\x01", 2, 0x0002, {{0, O, 2, 8}, {12, V, 2, 0x0002}}},
        {true, "\x02\x01\x02", 2, 0x0104, {{0, O, 2, 8}, {12, O, 2, 0}, {16, V, 2, 0x0104}}},
        {true, "\x02", 3, 4, {{0, V, 2, 8}, {12, O, 2, 0}, {16, V, 3, 4}}},
        {false, "\x02\xFF\xFC", 2, 0xFFFC, {{0, V, 2, 0xFFFC}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.torn.size() << " torn bytes, id " << int(c.id) << " length " << c.len);
        quibtest::ChipRoot chip;
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        F_FlashPack_Init();
        const uintptr_t base = FLASH_ADD_PARAM_PROD;
        if (c.before) {
            ASSERT_EQ(F_FlashPack_SavePackId(base, 2, pattern(8, 1).data(), 8), 0);
        }
        uintptr_t cursor = base + (c.before ? 12 : 0) + 1;
        ASSERT_EQ(F_FlashDrv_Write(&cursor, c.torn.data(), static_cast<uint32_t>(c.torn.size())), 0);
        ASSERT_EQ(F_FlashPack_SavePackId(base, c.id, pattern(c.len, 5).data(), c.len), 0);
        EXPECT_EQ(walk(base), c.want);
        std::vector<uint8_t> out(c.len);
        EXPECT_EQ(F_FlashPack_LoadPackId(base, c.id, out.data(), c.len), c.len);
        EXPECT_EQ(out, pattern(c.len, 5));
    }
}

// A pack at the window's last bytes: everything past the header goes to the
// driver, which refuses it, instead of to memory beyond the window.
TEST(PackChainFlash, PacksAtTheWindowEndStayInsideIt)
{
    quibtest::ChipRoot chip;
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    F_FlashPack_Init();
    const uintptr_t base = FLASH_ADD_PARAM_RFU1;  // the window's last sector
    ASSERT_EQ(F_FlashPack_SavePackId(base, 1, pattern(0xFFF8, 1).data(), 0xFFF8), 0);
    const uintptr_t last = FLASH_ADD_FIN - 4;
    const S_FlashPackHeader h = F_FlashPack_MakeHead(V, 5, 8);
    uintptr_t cursor = last;
    ASSERT_EQ(F_FlashDrv_Write(&cursor, &h, 4), 0);
    ASSERT_EQ(F_FlashPack_SearchPackId(base, 5, nullptr, nullptr), last);

    uint8_t buf[8];
    int count = 0;
    const std::string before = chip.image();
    EXPECT_EQ(F_FlashPack_LoadPackId(base, 5, buf, sizeof buf), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(F_FlashPack_BitField_Inc(base, 5, &count), FLASHPACK_ERR_RANGE);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(F_FlashDrv_EraseSector(base), 1);
    ASSERT_EQ(F_FlashPack_SavePackId(base, 1, pattern(0xFFF8, 1).data(), 0xFFF8), 0);
    EXPECT_EQ(F_FlashPack_Write(last, &h, buf, sizeof buf), FLASHPACK_ERR_RANGE);
    EXPECT_TRUE(chip.image() == before.substr(0, before.size() - 4) + std::string(4, '\xFF'));
}

}  // namespace
