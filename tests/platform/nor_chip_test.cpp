// The simulated NOR chip as the bus sees it: mapping, bits that only clear, unlock bypass.
#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>

#include "platform/host/nor_chip.h"
#include "platform/platform.h"
#include "tests/support/chip_root.h"

namespace {

// A device mapping of a physical range (kept until the process ends), or 0 when refused.
uintptr_t map(uint64_t physical, size_t len)
{
    void* p = mmap_device_memory(nullptr, len, PROT_READ | PROT_WRITE | PROT_NOCACHE, MAP_SHARED, physical);
    return p == MAP_FAILED ? 0 : reinterpret_cast<uintptr_t>(p);
}

void write(uintptr_t base, std::initializer_list<std::pair<uint32_t, uint8_t>> cycles)
{
    for (auto [off, v] : cycles)
        platform_bus_write8(base + off, v);
}

void program(uintptr_t base, uint32_t off, uint8_t v)
{
    write(base, {{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0xA0}, {off, v}});
}

}  // namespace

// Mapping needs an image and a config the chip knows; the 2 MiB chip leaves the 4 MiB base undriven.
TEST(NorChip, MappingAndOpenBus)
{
    quibtest::TempRoot bare;
    EXPECT_EQ(map(0xFFE00000, 16), 0u) << "no nor.img";
    quibtest::ChipRoot root(0xC8);
    EXPECT_EQ(map(0xFFFFF000, 0x2000), 0u) << "past the 32-bit space";
    program(map(0xFFC00000, 0x200000), 0x100, 0x00);
    EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos) << "a write into open bus changes nothing";
    root.write("/flash/nor.conf", "code=0x93\n");  // a 4 MiB code over a 2 MiB image
    EXPECT_EQ(map(0xFFE00000, 16), 0u);
    root.write("/flash/nor.conf", "code=0xC8\nprogram_fail_onec=5\n");  // a typo is no "no fault"
    EXPECT_EQ(map(0xFFE00000, 16), 0u);
}

// A program only clears bits: one that needs a bit raised fails with DQ5 set and DQ7
// never showing the data. In bypass no unlock is needed; a reset stays in it, its exit leaves.
TEST(NorChip, ProgramsAndUnlockBypass)
{
    quibtest::ChipRoot root(0x93);
    const uintptr_t v = map(0xFFC00000, 0x400000);
    program(v, 0x10, 0xF0);
    program(v, 0x10, 0x30);
    EXPECT_EQ(static_cast<uint8_t>(root.image()[0x10]), 0x30) << "in the file at once";
    program(v, 0x10, 0x81);
    EXPECT_EQ(platform_bus_read8(v + 0x10) & 0xA0, 0x20);
    write(v, {{0x10, 0xF0}, {0xAAA, 0xA0}, {0x20, 0x00}});
    EXPECT_EQ(platform_bus_read8(v + 0x10), 0x00) << "cells that could clear did";
    EXPECT_EQ(platform_bus_read8(v + 0x20), 0xFF) << "a program command without unlock is nothing";

    write(v, {{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x20}, {0xAAA, 0xA0}, {0x30000, 0x12}, {0x30001, 0xF0}});
    write(v, {{0xAAA, 0xA0}, {0x30001, 0x34}, {0xAAA, 0x90}, {0x555, 0x00}, {0xAAA, 0xA0}, {0x30002, 0x00}});
    EXPECT_EQ(root.image().substr(0x30000, 3), "\x12\x34\xFF");
}
