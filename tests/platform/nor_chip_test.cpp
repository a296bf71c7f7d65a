// The simulated NOR chip as the bus sees it: what it maps, and the open bus beside the 2 MiB part.
#include <gtest/gtest.h>

#include <csignal>
#include <set>
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

void erase(uintptr_t base, uint32_t sector)
{
    for (auto [at, value] : {std::pair<uint32_t, uint8_t>{0xAAA, 0xAA}, {0x555, 0x55}, {0xAAA, 0x80}, {0xAAA, 0xAA},
                             {0x555, 0x55}, {sector, 0x30}})
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

// Torn cuts: a program keeps some of the bits it was clearing, an erase leaves its sector part-erased
// (each 0 bit risen or not) with its weak bytes reading either way, also in the next process, until
// the sector's next full erase; nor.conf's cut does the same to the process it ends.
TEST(NorChip, TornCutsAndWeakBytes)
{
    quibtest::ChipRoot root(0x93, "weak_bytes=0x10001\n");
    const uintptr_t base = map(0xFFC00000, 0x400000);
    for (uint32_t off : {0x10000u, 0x10001u, 0x10002u})
        program(base, off, 0x00);
    ASSERT_EQ(norsim::tearErase(1, 7, 128), 0);
    const std::string torn = root.image().substr(0x10000, 3);
    EXPECT_TRUE(torn != std::string(3, '\0') && torn != std::string(3, '\xFF')) << "some bits rose, not all";
    std::set<uint8_t> weak, firm;
    for (int i = 0; i < 64; ++i) {
        weak.insert(platform_bus_read8(base + 0x10001));
        firm.insert(platform_bus_read8(base + 0x10002));
    }
    EXPECT_GT(weak.size(), 1u);
    EXPECT_EQ(firm, std::set<uint8_t>{static_cast<uint8_t>(torn[2])});
    EXPECT_EQ(root.read("/flash/nor.weak"), "0x010001 0xFF\n") << "formerly 0 bits, for the next process";
    erase(base, 0x10000);
    EXPECT_EQ(platform_bus_read8(base + 0x10001), 0xFF);
    EXPECT_FALSE(root.exists("/flash/nor.weak")) << "a full erase settles the sector";

    program(base, 0x20000, 0x0F);
    root.setSettings("power_cut_mode=torn\npower_cut_seed=3\npower_cut_after=1\n");
    EXPECT_EXIT((program(base, 0x20001, 0x12), program(base, 0x20002, 0x00)), testing::KilledBySignal(SIGKILL), "");
    const std::string cut = root.image().substr(0x20000, 3);
    EXPECT_EQ(cut.substr(0, 2), "\x0F\x12");
    EXPECT_NE(uint8_t(cut[2]), 0x00) << "torn: not every bit cleared";
    EXPECT_NE(uint8_t(cut[2]), 0xFF) << "torn: not none (seed 3)";
    root.setSettings("power_cut_mode=torn\npower_cut_after=0\nweak_bytes=0x20001\n");
    EXPECT_EXIT(erase(base, 0x20000), testing::KilledBySignal(SIGKILL), "");
    const std::string part = root.image().substr(0x20000, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(uint8_t(part[i]) & uint8_t(cut[i]), uint8_t(cut[i])) << "only rises";
    EXPECT_TRUE(part != cut && part != std::string(3, '\xFF'));
    EXPECT_EQ(root.read("/flash/nor.weak"), "0x020001 0xED\n");
}
