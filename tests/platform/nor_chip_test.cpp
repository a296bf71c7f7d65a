// The simulated NOR chip as the bus sees it: mapping, command decoding,
// status bits, and the array in nor.img.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "platform/host/nor_chip.h"
#include "platform/platform.h"
#include "tests/support/chip_root.h"

namespace {

// A device mapping of the whole chip (or of any physical range) for one test.
struct View {
    uintptr_t base = 0;
    size_t len = 0;
    View(uint64_t physical, size_t length) : len(length)
    {
        void* p = mmap_device_memory(nullptr, len, PROT_READ | PROT_WRITE | PROT_NOCACHE,
                                     MAP_SHARED, physical);
        base = p == MAP_FAILED ? 0 : reinterpret_cast<uintptr_t>(p);
    }
    ~View()
    {
        if (base)
            munmap_device_memory(reinterpret_cast<void*>(base), len);
    }
    uint8_t rd(uint32_t off) const { return platform_bus_read8(base + off); }
    void wr(std::initializer_list<std::pair<uint32_t, uint8_t>> cycles) const
    {
        for (auto [off, v] : cycles)
            platform_bus_write8(base + off, v);
    }
    void program(uint32_t off, uint8_t v) const { wr({{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0xA0}, {off, v}}); }
};

}  // namespace

TEST(NorChip, MappingNeedsAValidImageAndConfig)
{
    quibtest::TempRoot bare;
    EXPECT_EQ(View(0xFFE00000, 16).base, 0u) << "no nor.img";

    quibtest::ChipRoot root(0x93);
    EXPECT_NE(View(0xFFC00000, 0x400000).base, 0u);
    EXPECT_EQ(View(0xFFFFF000, 0x2000).base, 0u) << "past the 32-bit space";

    root.write("/flash/nor.conf", "code=0xC8\n");  // a 2 MiB code over a 4 MiB image
    EXPECT_EQ(View(0xFFE00000, 16).base, 0u);
    root.write("/flash/nor.conf", "code=0x93\nprogram_fail_onec=5\n");  // a typo is no "no fault"
    EXPECT_EQ(View(0xFFE00000, 16).base, 0u);
}

TEST(NorChip, ProbeViewsAndOpenBus)
{
    struct Case {
        unsigned code;
        uint64_t physical;
        uint8_t idAtOffset1;  // what autoselect shows there
    };
    // A 4 MiB chip lies under the 2 MiB base too; a 2 MiB chip leaves
    // 0xFFC00000 undriven (open bus). The driver's tests go through each code.
    for (const Case& c : {Case{0x93, 0xFFE00000, 0x93}, Case{0xC8, 0xFFC00000, 0xFF}}) {
        quibtest::ChipRoot root(c.code);
        View v(c.physical, 16);
        ASSERT_NE(v.base, 0u);
        EXPECT_EQ(norsim::physicalAddress(v.base + 5), c.physical + 5);
        v.wr({{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x90}});
        EXPECT_EQ(v.rd(1), c.idAtOffset1) << std::hex << c.code << " at " << c.physical;
        v.wr({{0xAAA, 0xF0}});
        EXPECT_EQ(v.rd(1), 0xFF) << "back in read mode";
    }
    // Writes into the open-bus hole of the 2 MiB chip change nothing.
    quibtest::ChipRoot root(0xC8);
    View hole(0xFFC00000, 0x200000);
    hole.program(0x100, 0x00);
    EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos);
}

TEST(NorChip, ProgramOnlyClearsBitsAndFailsWithDq5)
{
    quibtest::ChipRoot root(0x93);
    View v(0xFFC00000, 0x400000);
    v.program(0x10, 0xF0);
    EXPECT_EQ(v.rd(0x10), 0xF0);
    EXPECT_EQ(static_cast<uint8_t>(root.image()[0x10]), 0xF0) << "in the file at once";
    v.program(0x10, 0x30);  // clears more bits: fine
    EXPECT_EQ(v.rd(0x10), 0x30);

    v.program(0x10, 0x81);  // needs bits 7 and 0 to rise
    EXPECT_EQ(v.rd(0x10) & 0xA0, 0x20) << "DQ7 never shows data bit 7, DQ5 set";
    v.wr({{0x10, 0xF0}});
    EXPECT_EQ(v.rd(0x10), 0x00) << "cells that could clear did";

    // Outside an unlock sequence, a bare program command is nothing.
    v.wr({{0xAAA, 0xA0}, {0x20, 0x00}});
    EXPECT_EQ(v.rd(0x20), 0xFF);
}

// Erase status and its busy reads are shown through the driver's own tests.
TEST(NorChip, UnlockBypassSurvivesAResetAndEndsOnLeave)
{
    quibtest::ChipRoot root(0x93);
    View v(0xFFC00000, 0x400000);
    v.wr({{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x20}});
    v.wr({{0xAAA, 0xA0}, {0x30000, 0x12}, {0xAAA, 0xA0}, {0x30001, 0x34}});
    v.wr({{0x30002, 0xF0}});  // a reset does not leave bypass
    v.wr({{0xAAA, 0xA0}, {0x30002, 0x56}});
    v.wr({{0xAAA, 0x90}, {0x555, 0x00}});
    v.wr({{0xAAA, 0xA0}, {0x30003, 0x00}});  // no longer in bypass: ignored
    EXPECT_EQ(v.rd(0x30000), 0x12);
    EXPECT_EQ(v.rd(0x30001), 0x34);
    EXPECT_EQ(v.rd(0x30002), 0x56);
    EXPECT_EQ(v.rd(0x30003), 0xFF);
}
