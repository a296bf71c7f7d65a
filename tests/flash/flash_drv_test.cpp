// The NOR flash driver against the simulated chip: identification, the window, programs and erases.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "flash/Flash_Drv.h"
#include "platform/host/nor_chip.h"
#include "tests/support/chip_root.h"

namespace {

TEST(FlashDrv, IdentifiesEachPartOrFails)
{
    // chip code, nor.conf lines, identification reads (one per probe and per autoselect)
    const std::tuple<unsigned, const char*, uint64_t> cases[] = {
        {0xC8, "", 1}, {0x93, "", 1}, {0xA3, "", 2}, {0x53, "", 2}, {0x93, "id_offset1=0\n", 2},
        {0xC8, "id_offset1=1\n", 2}, {0x53, "id_offset1=1\n", 4}, {0x12, "", 2}};
    for (const auto& [code, settings, idReads] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << code << " " << settings);
        quibtest::ChipRoot root(code, settings);
        norsim::resetCounters();
        ASSERT_EQ(F_FlashDrv_Init(), code == 0x12 ? -4 : 0);
        EXPECT_EQ(V_FlashDrv_MemType, code);
        EXPECT_EQ(norsim::counters().reads, idReads);
        if (code == 0x12) {
            EXPECT_EQ(FLASH_Size, 0u);
            EXPECT_EQ(F_FlashDrv_GetByte(FLASH_ADD_WEB), -2) << "an empty window";
            continue;
        }
        EXPECT_EQ(FLASH_Size, norsim::chipSize(code));
        EXPECT_EQ(norsim::physicalAddress(FLASH_ADD_DEBUT), norsim::chipBase(code));
        // A second Init releases the first window; Close leaves none and an empty map.
        const uintptr_t first = FLASH_ADD_DEBUT;
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        const uintptr_t second = FLASH_ADD_DEBUT;
        EXPECT_EQ(F_FlashDrv_Close(), 0);
        EXPECT_EQ(norsim::physicalAddress(first) + norsim::physicalAddress(second), 0u);
        EXPECT_EQ(FLASH_Size + FLASH_ADD_DEBUT + FLASH_ADD_WEB + FLASH_ADD_PARAM_RFU1, 0u);
        EXPECT_EQ(F_FlashDrv_EraseSector(second), 0);
    }
}

// Both ends of the window [b, e) and lengths around them, inside or not; e may have wrapped to 0.
using RangeCase = std::tuple<uintptr_t, uint32_t, bool>;
std::vector<RangeCase> windowEdges(uintptr_t b, uintptr_t e)
{
    return {{b, 0, false},     {b + 1, 0, true},  {b, 1, true},  {e - 1, 1, true},  {e - 2, 2, true},
            {e - 1, 2, false}, {e, 0, false},     {e, 1, false}, {b - 1, 1, false}, {b + 16, 0xFFFFFFFFu, false}};
}

TEST(FlashDrv, EveryAccessStaysInsideTheWindow)
{
    quibtest::ChipRoot root;
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    const uintptr_t b = FLASH_ADD_DEBUT, e = FLASH_ADD_FIN;
    uint8_t buf[2] = {0x5A, 0x5A};
    for (const auto& [start, len, in] : windowEdges(b, e)) {
        SCOPED_TRACE(testing::Message() << "offset " << static_cast<intptr_t>(start - b) << " len " << len);
        uintptr_t cur = start;
        EXPECT_EQ(F_FlashDrv_Write(&cur, buf, len), in ? 0 : -2);
        EXPECT_EQ(cur, in ? start + len : start);
        cur = start;
        EXPECT_EQ(F_FlashDrv_Read(&cur, buf, len), in ? 0 : -2);
        EXPECT_EQ(cur, in ? start + len : start);
    }
    EXPECT_EQ(root.image().substr(0, 2) + root.image().substr(0x3FFFFE), "\x5A\xFF\x5A\x5A");
    uintptr_t cur = e;
    EXPECT_EQ(F_FlashDrv_ReadByte(&cur, buf), -2);
    EXPECT_EQ(cur, e + 1) << "ReadByte moves on even when it fails";
    EXPECT_EQ(F_FlashDrv_GetByte(b - 1), -2);
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_EraseSector(e), 0);
    EXPECT_EQ(norsim::counters().writes, 0u) << "not a single cycle went out";

    // The instrument's window may end at the last address: FLASH_ADD_FIN wraps to 0.
    FLASH_ADD_DEBUT = 0 - uintptr_t{FLASH_Size};
    FLASH_ADD_FIN = 0;
    std::vector<RangeCase> top = windowEdges(FLASH_ADD_DEBUT, 0);
    top.emplace_back(FLASH_ADD_DEBUT, FLASH_Size, true);
    for (const auto& [start, len, in] : top) {
        EXPECT_EQ(F_FlashDrv_RangeInWindow(start, len), in) << start - FLASH_ADD_DEBUT << " " << len;
        EXPECT_TRUE(len != 1 || F_FlashDrv_InWindow(start) == in) << start - FLASH_ADD_DEBUT;
    }
    FLASH_ADD_DEBUT = b;
    FLASH_ADD_FIN = e;
}

// A byte program is retried once, a block write not; an erase fails or waits while busy.
TEST(FlashDrv, ProgramsAndErases)
{
    quibtest::ChipRoot root(0x93, "program_fail_once=0x1000,0x2001\nprogram_fail_always=0x1001\n"
                                  "erase_fail_sector=62\n");
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    const uintptr_t b = FLASH_ADD_DEBUT;
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_SetByte(b + 0x1000, 0x42), 0) << "second attempt succeeds";
    EXPECT_EQ(norsim::counters().programs, 2u);
    EXPECT_EQ(F_FlashDrv_SetByte(b + 0x1000, 0x43), -3) << "a bit cannot rise without an erase";
    for (const auto& [at, rc, next] : {std::tuple{0x1001, -3, 0x1001}, {0x1002, 0, 0x1003}}) {
        uintptr_t cur = b + at;
        EXPECT_EQ(F_FlashDrv_WriteByte(&cur, 0x42), rc);
        EXPECT_EQ(cur, b + next) << "WriteByte moves on success only";
    }

    // A block write does not retry: it keeps the bytes before the failing one
    // and the cursor, and leaves the chip in read mode, out of bypass.
    uintptr_t cur = b + 0x2000;
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_Write(&cur, "\1\2\3\4", 4), -3);
    EXPECT_EQ(norsim::counters().programs, 2u);
    EXPECT_EQ(cur, b + 0x2000);
    cur = b + 0x2001;
    EXPECT_EQ(F_FlashDrv_Write(&cur, "\2\3\4", 3), 0);
    EXPECT_EQ(root.image().substr(0x1000, 3) + root.image().substr(0x2000, 4), "\x42\xFF\x42\1\2\3\4");

    // In bypass a byte costs two bus writes and one status read.
    const std::string block(1024, '\x3C');
    norsim::resetCounters();
    ASSERT_EQ(F_FlashDrv_Write(&cur, block.data(), 1024), 0);
    EXPECT_EQ(norsim::counters().writes, 2 * 1024 + 3 + 2u);
    EXPECT_EQ(norsim::counters().reads, 1024u);

    for (uintptr_t a : {FLASH_ADD_PARAM_PROD, FLASH_ADD_PARAM_RFU2})
        ASSERT_EQ(F_FlashDrv_SetByte(a + 0xFFFF, 0), 0);
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_PROD), 1);
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_RFU2), 0);
    EXPECT_EQ(root.image().substr(0x3DFFFF, 1) + root.image().substr(0x3EFFFF, 1), std::string("\xFF\0", 2));
    EXPECT_EQ(F_FlashDrv_GetByte(FLASH_ADD_PARAM_RFU2 + 0xFFFF), 0x00) << "read mode after the failure";

    root.setSettings("erase_busy_reads=1\n");
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_RFU2), 1);
    EXPECT_EQ(norsim::counters().reads, 2u) << "one busy status, then done";
    EXPECT_EQ(root.image()[0x3EFFFF], '\xFF');
}

}  // namespace
