// A single-record save cut short at every one of its programs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "flash/EEProm_Prod.h"
#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2Product.h"
#include "tests/flash/pack_support.h"
#include "tests/support/power_cut.h"
#include "tests/support/process.h"

namespace {

using packtest::rowsEqual;
using packtest::table;

constexpr uint32_t kPack = 4 + FLASHPACK_BUFFER_SIZE;

// Whether both records load, from nothing kept in memory, with this table.
bool loads(const T_ConfigIP_Tab& want)
{
    F_FlashPack_Init();
    FlashProd_Mode = {0, 0, 0};
    ConfigIP_Tab_Cmd = table("marker");
    return F_LoadCnf_Product(0) == 1 && FlashProd_Mode == T_FlashProd_Mode{1, 2, 3} &&
           rowsEqual(ConfigIP_Tab_Cmd, want, 0, CONFIGIP_STORED_ROWS);
}

int validPacks(uint8_t id)
{
    int n = 0;
    for (const packtest::Pack& p : packtest::walk(FLASH_ADD_PARAM_PROD))
        n += p.status == FLASHPACK_STATUS_VALID && p.id == id;
    return n;
}

// The network command table saved as the fifth pack of the product sector,
// over an older table. At every cut point a search finds the old pack or the
// new one, never none, and never goes back. At the header and status steps,
// and through the data at a stride, the records load whole, and the next
// complete save (the sixth pack, the last that fits) loads in a new process
// with exactly one valid pack of each id.
TEST(PackPowerCut, EveryCutPointOfASingleSaveKeepsTheOldOrTheNewRecord)
{
    const auto started = std::chrono::steady_clock::now();
    quibtest::ChipRoot chip;
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    F_FlashPack_Init();
    const T_ConfigIP_Tab oldTab = table("old");
    const T_ConfigIP_Tab newTab = table("new");
    const T_ConfigIP_Tab nextTab = table("next");
    FlashProd_Mode = {1, 2, 3};
    ConfigIP_Tab_Cmd = table("first");
    ASSERT_EQ(F_SaveCnf_Product(), 0);
    ConfigIP_Tab_Cmd = table("second");
    ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0);
    ConfigIP_Tab_Cmd = oldTab;
    ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0);

    ConfigIP_Tab_Cmd = newTab;
    quibtest::PowerCut cut(chip, [] { EXPECT_EQ(F_SaveCnf_Product_ConfigIP(), 0); });
    const size_t points = cut.points();
    ASSERT_GT(points, FLASHPACK_BUFFER_SIZE);
    const uintptr_t base = FLASH_ADD_PARAM_PROD;
    const uintptr_t oldPack = base + 3 * kPack;
    const uintptr_t newPack = base + 4 * kPack;

    int old = 0, fresh = 0, checked = 0;
    for (size_t n = 0; n <= points; ++n) {
        cut.cutAfter(n);
        const uintptr_t found = F_FlashPack_SearchPackId(base, FLASHPACK_ID_CONFIGIP, nullptr, nullptr);
        ASSERT_TRUE(found == oldPack || found == newPack) << "cut after " << n << ": found " << found - base;
        ASSERT_TRUE(found == newPack || fresh == 0) << "back to the old record at " << n;
        if (n < points)
            ++(found == oldPack ? old : fresh);
        if (n > 5 && n + 3 < points && n % 499 != 0)
            continue;

        ++checked;
        ASSERT_TRUE(loads(found == oldPack ? oldTab : newTab)) << "cut after " << n;
        ConfigIP_Tab_Cmd = nextTab;
        ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0) << "next save after a cut after " << n;
        EXPECT_EQ(validPacks(FLASHPACK_ID_CONFIGIP), 1) << n;
        EXPECT_EQ(validPacks(FLASHPACK_ID_PRODUCT), 1) << n;
        ASSERT_EQ(quibtest::runInChild([&] { return F_FlashDrv_Init() == 0 && loads(nextTab) ? 0 : 1; }), 0)
            << "new process after a cut after " << n;
        cut.restart();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%zu cut points: old %d, new %d, none 0; %d states saved again and loaded in a new "
                "process; %.2f s\n", points, old, fresh, checked, seconds);
    RecordProperty("cut_points", static_cast<int>(points));
    EXPECT_GT(old, 4);
    EXPECT_EQ(fresh, 1) << "only the cut between the new pack's validation and the old one's retirement";
}

}  // namespace
