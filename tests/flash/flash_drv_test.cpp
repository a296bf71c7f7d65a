// The flash driver against the simulated chip.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "flash/Flash_Drv.h"
#include "platform/host/nor_chip.h"
#include "tests/support/chip_root.h"
#include "tests/support/process.h"

namespace {

uint8_t imageByte(const quibtest::ChipRoot& root, uint32_t off)
{
    return static_cast<uint8_t>(root.image()[off]);
}

struct RangeCase {
    uintptr_t start;
    uint32_t len;
    bool in;  // every byte inside the window
};

// Both ends of the window [b, e) and lengths around them; e may have wrapped to 0.
std::vector<RangeCase> windowEdges(uintptr_t b, uintptr_t e)
{
    return {{b, 0, false},     {b + 1, 0, true},  {b, 1, true},      {e - 1, 1, true},
            {e - 2, 2, true},  {e - 1, 2, false}, {e, 0, false},     {e, 1, false},
            {b - 1, 1, false}, {b + 16, 0xFFFFFFFFu, false}};
}

}  // namespace

TEST(FlashDrvInit, IdentifiesEachPartOrFails)
{
    struct Case {
        unsigned code;
        const char* settings;
        int rc;
        uint8_t memType;
        uint32_t size;
        uint64_t physical;
        uint64_t idReads;  // bus reads of identification: one per probe and per autoselect
    };
    const Case cases[] = {
        {0xC8, "", 0, 0xC8, 0x200000, 0xFFE00000, 1},
        {0x93, "", 0, 0x93, 0x400000, 0xFFC00000, 1},
        {0xA3, "", 0, 0xA3, 0x400000, 0xFFC00000, 2},
        {0x53, "", 0, 0x53, 0x400000, 0xFFC00000, 2},
        {0x93, "id_offset1=0\n", 0, 0x93, 0x400000, 0xFFC00000, 2},
        {0xC8, "id_offset1=1\n", 0, 0xC8, 0x200000, 0xFFE00000, 2},
        {0x53, "id_offset1=1\n", 0, 0x53, 0x400000, 0xFFC00000, 4},
        {0x12, "", -4, 0x12, 0, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << " " << c.settings);
        quibtest::ChipRoot root(c.code, c.settings);
        norsim::resetCounters();
        ASSERT_EQ(F_FlashDrv_Init(), c.rc);
        EXPECT_EQ(V_FlashDrv_MemType, c.memType);
        EXPECT_EQ(FLASH_Size, c.size);
        EXPECT_EQ(norsim::counters().reads, c.idReads);
        if (c.rc != 0) {
            EXPECT_EQ(FLASH_ADD_DEBUT, 0u);
            EXPECT_EQ(F_FlashDrv_GetByte(FLASH_ADD_WEB), -2) << "empty window";
            continue;
        }
        EXPECT_EQ(norsim::physicalAddress(FLASH_ADD_DEBUT), c.physical);
        EXPECT_EQ(FLASH_ADD_FIN, FLASH_ADD_DEBUT + c.size);
        EXPECT_EQ(F_FlashDrv_GetByte(FLASH_ADD_DEBUT + 1), 0xFF) << "left autoselect";
        // A second Init releases the first window; Close leaves none and an empty map.
        const uintptr_t first = FLASH_ADD_DEBUT;
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        const uintptr_t second = FLASH_ADD_DEBUT;
        EXPECT_EQ(F_FlashDrv_Close(), 0);
        EXPECT_EQ(norsim::physicalAddress(first) + norsim::physicalAddress(second), 0u);
        EXPECT_EQ(FLASH_Size + FLASH_ADD_DEBUT + FLASH_ADD_WEB + FLASH_ADD_PARAM_RFU1, 0u);
        uintptr_t cur = second + FLASH_OFF_WEB;
        EXPECT_EQ(F_FlashDrv_Write(&cur, "x", 1), -2);
        EXPECT_EQ(F_FlashDrv_SetByte(cur, 0), -2);
        EXPECT_EQ(F_FlashDrv_EraseSector(cur), 0);
        EXPECT_EQ(F_FlashDrv_Close(), 0);
    }
    quibtest::TempRoot noChip;
    EXPECT_EQ(F_FlashDrv_Init(), -4);
    EXPECT_EQ(FLASH_Size, 0u);
}

TEST(FlashDrvRange, BothEndsOfTheWindowAndTheCursor)
{
    quibtest::ChipRoot root(0x93);
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    const uintptr_t b = FLASH_ADD_DEBUT, e = FLASH_ADD_FIN;
    const uint8_t buf[2] = {0x5A, 0x5A};
    uint8_t got[2];
    for (const RangeCase& c : windowEdges(b, e)) {
        SCOPED_TRACE(testing::Message() << "offset " << static_cast<intptr_t>(c.start - b)
                                        << " len " << c.len);
        const int want = c.in ? 0 : -2;
        uintptr_t cur = c.start;
        EXPECT_EQ(F_FlashDrv_Read(&cur, got, c.len), want);  // never past 2 bytes
        EXPECT_EQ(cur, c.in ? c.start + c.len : c.start);
        cur = c.start;
        EXPECT_EQ(F_FlashDrv_Write(&cur, buf, c.len), want);
        EXPECT_EQ(cur, c.in ? c.start + c.len : c.start);
    }
    EXPECT_EQ(imageByte(root, 0), 0x5A);
    EXPECT_EQ(imageByte(root, 0x3FFFFF), 0x5A);

    // Byte operations: ReadByte moves on even when it fails, WriteByte only on success.
    uint8_t out = 0x77;
    uintptr_t cur = e;
    EXPECT_EQ(F_FlashDrv_ReadByte(&cur, &out), -2);
    EXPECT_EQ(out, 0x77);
    EXPECT_EQ(cur, e + 1);
    cur = b + 0x100;
    ASSERT_EQ(F_FlashDrv_WriteByte(&cur, 0x00), 0);
    EXPECT_EQ(cur, b + 0x101);
    cur = b + 0x100;
    EXPECT_EQ(F_FlashDrv_ReadByte(&cur, &out), 0);
    EXPECT_EQ(out, 0x00);
    cur = b + 0x100;
    EXPECT_EQ(F_FlashDrv_WriteByte(&cur, 0x01), -3) << "0 -> 1 needs an erase";
    EXPECT_EQ(cur, b + 0x100);
    EXPECT_EQ(F_FlashDrv_SetByte(e, 0), -2);
    EXPECT_EQ(F_FlashDrv_GetByte(b - 1), -2);
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_EraseSector(e), 0) << "outside: nothing erased";
    EXPECT_EQ(norsim::counters().writes, 0u) << "not a single cycle went out";
}

TEST(FlashDrvRange, AWindowEndingAtTheTopOfTheAddressSpace)
{
    // The instrument's window may end at the last address, FLASH_ADD_FIN then wraps to 0.
    const uintptr_t savedDebut = FLASH_ADD_DEBUT, savedFin = FLASH_ADD_FIN;
    const uint32_t savedSize = FLASH_Size;
    FLASH_Size = 0x400000;
    FLASH_ADD_DEBUT = 0 - uintptr_t{FLASH_Size};
    FLASH_ADD_FIN = FLASH_ADD_DEBUT + FLASH_Size;
    const uintptr_t b = FLASH_ADD_DEBUT;
    std::vector<RangeCase> cases = windowEdges(b, FLASH_ADD_FIN);
    cases.push_back({b, FLASH_Size, true});
    for (const RangeCase& c : cases) {
        EXPECT_EQ(F_FlashDrv_RangeInWindow(c.start, c.len), c.in)
            << "offset " << static_cast<intptr_t>(c.start - b) << " len " << c.len;
        if (c.len == 1) {
            EXPECT_EQ(F_FlashDrv_InWindow(c.start), c.in) << static_cast<intptr_t>(c.start - b);
        }
    }
    FLASH_ADD_DEBUT = savedDebut;
    FLASH_ADD_FIN = savedFin;
    FLASH_Size = savedSize;
}

TEST(FlashDrvProgram, RetriesAndFailures)
{
    quibtest::ChipRoot root(0x93, "program_fail_once=0x1000,0x2001\nprogram_fail_always=0x1001\n");
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    const uintptr_t b = FLASH_ADD_DEBUT;

    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_SetByte(b + 0x1000, 0x42), 0) << "second attempt succeeds";
    EXPECT_EQ(norsim::counters().programs, 2u);
    EXPECT_EQ(imageByte(root, 0x1000), 0x42);
    EXPECT_EQ(F_FlashDrv_SetByte(b + 0x1001, 0x42), -3);
    EXPECT_EQ(imageByte(root, 0x1001), 0xFF);

    // A block write does not retry: it stops at the failing byte, keeps the
    // bytes before it and leaves the cursor where it was.
    const uint8_t data[4] = {1, 2, 3, 4};
    uintptr_t cur = b + 0x2000;
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_Write(&cur, data, 4), -3);
    EXPECT_EQ(norsim::counters().programs, 2u);
    EXPECT_EQ(cur, b + 0x2000);
    EXPECT_EQ(root.image().substr(0x2000, 4), std::string("\x01\xFF\xFF\xFF", 4));
    // The chip is back in read mode, out of bypass: the next write works.
    cur = b + 0x2001;
    EXPECT_EQ(F_FlashDrv_Write(&cur, data + 1, 3), 0);
    EXPECT_EQ(root.image().substr(0x2000, 4), std::string("\x01\x02\x03\x04", 4));

    cur = b + 0x2000;
    const uint8_t ff = 0xFF;
    EXPECT_EQ(F_FlashDrv_Write(&cur, &ff, 1), -3) << "not erased";
}

TEST(FlashDrvProgram, BlockWriteCostsTwoCyclesPerByteInBypass)
{
    quibtest::ChipRoot root(0x93);
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    std::vector<uint8_t> data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    for (uint32_t n : {1u, 1024u}) {
        uintptr_t cur = FLASH_ADD_PARAM_PROD + n;
        norsim::resetCounters();
        ASSERT_EQ(F_FlashDrv_Write(&cur, data.data(), n), 0);
        EXPECT_EQ(norsim::counters().writes, 2 * n + 3 + 2);
        EXPECT_EQ(norsim::counters().reads, n) << "one status read per byte";
    }
    EXPECT_EQ(std::memcmp(root.image().data() + 0x3D0000 + 1024, data.data(), 1024), 0);
}

TEST(FlashDrvErase, ErasesFailsAndWaits)
{
    quibtest::ChipRoot root(0x93, "erase_fail_sector=62\n");
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    const uint8_t zero[2] = {0, 0};
    for (uintptr_t a : {FLASH_ADD_PARAM_PROD, FLASH_ADD_PARAM_RFU2}) {
        uintptr_t cur = a + 0xFFFE;
        ASSERT_EQ(F_FlashDrv_Write(&cur, zero, 2), 0);
    }
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_PROD), 1);
    EXPECT_EQ(imageByte(root, 0x3DFFFF), 0xFF);
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_RFU2), 0);
    EXPECT_EQ(imageByte(root, 0x3EFFFF), 0x00);
    EXPECT_EQ(F_FlashDrv_GetByte(FLASH_ADD_PARAM_RFU2 + 0xFFFF), 0x00) << "reset after failure";

    root.setSettings("erase_busy_reads=1\n");
    norsim::resetCounters();
    EXPECT_EQ(F_FlashDrv_EraseSector(FLASH_ADD_PARAM_RFU2), 1);
    EXPECT_EQ(norsim::counters().reads, 2u) << "one busy status, then done";
    EXPECT_EQ(imageByte(root, 0x3EFFFF), 0xFF);
}

// Each child maps the chip afresh, as the next program run would.
TEST(FlashDrvPersistence, NextProcessReadsTheImageAndAPowerCutKeepsTheBytesBeforeIt)
{
    quibtest::ChipRoot root(0x93);
    // The window's addresses are known only once the chip is mapped.
    auto writeInChild = [](uint32_t offset, const char* bytes) {
        return quibtest::runInChild([=] {
            if (F_FlashDrv_Init() != 0)
                return 2;
            uintptr_t cur = FLASH_ADD_DEBUT + offset;
            return F_FlashDrv_Write(&cur, bytes, 10) == 0 ? 0 : 3;
        });
    };
    ASSERT_EQ(writeInChild(0x3B0000, "loader0123"), 0);
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    char got[11] = {};
    uintptr_t cur = FLASH_ADD_LOADER;
    ASSERT_EQ(F_FlashDrv_Read(&cur, got, 10), 0);
    EXPECT_STREQ(got, "loader0123");

    root.setSettings("power_cut_after=5\n");
    ASSERT_EQ(writeInChild(0x1B0000, "0123456789"), 128 + SIGKILL);
    EXPECT_EQ(root.image().substr(0x1B0000, 10), std::string("01234\xFF\xFF\xFF\xFF\xFF", 10));
}
