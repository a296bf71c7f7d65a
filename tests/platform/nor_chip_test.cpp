// The simulated NOR chip as the bus sees it: what it maps, and the open bus beside the 2 MiB part.
#include <gtest/gtest.h>

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

void program(uintptr_t base, uint32_t off, uint8_t v)
{
    for (auto [at, value] : {std::pair<uint32_t, uint8_t>{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0xA0}, {off, v}})
        platform_bus_write8(base + at, value);
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
