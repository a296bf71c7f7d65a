// The EEPROM service thread: save requests, the save cycle under the lock, and the erase.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "flash/EEProm.h"
#include "flash/Flash_Drv.h"
#include "tests/support/chip_root.h"

namespace {

using Clock = std::chrono::steady_clock;

// Whether the service has done cycles within 5 s.
bool cyclesDone(unsigned cycles)
{
    for (auto until = Clock::now() + std::chrono::seconds(5); F_EEProm_CyclesDone() != cycles && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return F_EEProm_CyclesDone() == cycles;
}

// The thread starts even without a flash. Every kind sets its own flags and posts
// once; the thread waits while the lock is held elsewhere, then serves one cycle per request.
TEST(EEPromService, RequestsAndTheSaveCycle)
{
    EXPECT_EQ(F_SaveToEEPROM_Request(1), -1) << "no semaphore before the service starts";
    iSaveConfigUserToProm = 0;  // the refused request still set its flag
    {
        quibtest::TempRoot noChip;
        EXPECT_EQ(F_InitEEProm(), -4);
        EXPECT_EQ(F_IsSaveToEEPROM_Pending(), 0);
        const unsigned cycles = F_EEProm_CyclesDone();
        ASSERT_EQ(F_SaveToEEPROM_Request(2), 0);
        EXPECT_TRUE(cyclesDone(cycles + 1));
    }
    quibtest::ChipRoot chip;
    ASSERT_EQ(F_InitEEProm(), 0) << "maps the flash, keeps the one thread";
    ASSERT_EQ(pthread_mutex_lock(&mtx_ActionWithEEProm), 0);
    const unsigned cycles = F_EEProm_CyclesDone();
    for (const auto& [kind, user, prod] : {std::tuple{1, 1, 0}, {2, 0, 1}, {0, 1, 1}, {3, 1, 1}}) {
        iSaveConfigUserToProm = iSaveConfigProdToProm = 0;
        EXPECT_EQ(F_SaveToEEPROM_Request(kind), 0);
        EXPECT_EQ(iSaveConfigUserToProm * 10 + iSaveConfigProdToProm, user * 10 + prod) << kind;
        EXPECT_EQ(F_IsSaveToEEPROM_Pending(), 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the thread polls the lock
    EXPECT_EQ(F_EEProm_CyclesDone(), cycles);
    const auto released = Clock::now();
    ASSERT_EQ(pthread_mutex_unlock(&mtx_ActionWithEEProm), 0);
    ASSERT_TRUE(cyclesDone(cycles + 1));
    EXPECT_LT(Clock::now() - released, std::chrono::seconds(1)) << "one retry period, on a loaded machine";
    EXPECT_TRUE(cyclesDone(cycles + 4)) << "one cycle per request";
    iSaveConfigUserToProm = 0;
    EXPECT_EQ(F_IsSaveToEEPROM_Pending(), 1) << "nothing clears a request";

    // The erase takes the lock and always gives it back.
    EXPECT_EQ(F_ErazeEEPROM_Request(FLASH_ADD_PARAM_PROD), 1);
    chip.setSettings("erase_fail_sector=61\n");
    EXPECT_EQ(F_ErazeEEPROM_Request(FLASH_ADD_PARAM_PROD), 0);
    ASSERT_EQ(pthread_mutex_trylock(&mtx_ActionWithEEProm), 0);
    pthread_mutex_unlock(&mtx_ActionWithEEProm);
}

}  // namespace
