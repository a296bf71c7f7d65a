#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "flash/EEProm_Prod.h"
#include "flash/Flash_Drv.h"
#include "flash/Flash_Pack.h"
#include "flash/flh2Product.h"
#include "platform/host/nor_chip.h"
#include "tests/flash/pack_support.h"
#include "tests/support/chip_root.h"

namespace {

using packtest::rowsEqual;
using packtest::table;

enum Outcome { Old, New, None, Other };

// Every programmed byte is a cut point. Each point reprograms everything
// before it, so the sweep is quadratic; under the sanitizers (ten times
// slower) or an emulator (where each fork costs tens of milliseconds) the
// middle of the data is sampled with a prime stride instead.
uint64_t nextCut(uint64_t cut, uint64_t programs)
{
#if defined(__SANITIZE_ADDRESS__) || defined(QUIB_EMULATED)
    if (cut >= 64 && cut + 64 < programs)
        return cut + 61 + 64 > programs ? programs - 64 : cut + 61;
#endif
    (void)programs;
    return cut + 1;
}

// The network command table saved over an older one, with the power cut
// before each byte the save programs in turn (the chip kills the saving child
// at once, leaving the image as far as it got). Each time, loading the
// records must find the old table, the new one, or none (the defaults), and
// the other record untouched.
TEST(PackPowerCut, EveryProgrammedByteOfASingleSave)
{
    quibtest::ChipRoot chip;
    ASSERT_EQ(F_FlashDrv_Init(), 0);
    F_FlashPack_Init();
    const T_ConfigIP_Tab oldTab = table("old");
    const T_ConfigIP_Tab newTab = table("new");
    const T_ConfigIP_Tab marker = table("marker");
    FlashProd_Mode = {1, 2, 3};
    ConfigIP_Tab_Cmd = oldTab;
    ASSERT_EQ(F_SaveCnf_Product(), 0);

    const int fd = open(chip.host("/flash/nor.img").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> sector(FLASH_SECTOR_SIZE);
    ASSERT_EQ(pread(fd, sector.data(), sector.size(), FLASH_OFF_PARAM_PROD), static_cast<ssize_t>(sector.size()));
    auto restore = [&] {
        ASSERT_EQ(pwrite(fd, sector.data(), sector.size(), FLASH_OFF_PARAM_PROD), static_cast<ssize_t>(sector.size()));
    };

    // How many bytes one save programs.
    norsim::resetCounters();
    ConfigIP_Tab_Cmd = newTab;
    ASSERT_EQ(F_SaveCnf_Product_ConfigIP(), 0);
    const uint64_t programs = norsim::counters().programs;
    ASSERT_GT(programs, 10240u);
    restore();

    auto load = [&]() -> Outcome {
        F_FlashPack_Init();
        FlashProd_Mode = {0, 0, 0};
        ConfigIP_Tab_Cmd = marker;
        if (F_LoadCnf_Product(0) != 1 || FlashProd_Mode != T_FlashProd_Mode{1, 2, 3})
            return Other;
        if (rowsEqual(ConfigIP_Tab_Cmd, oldTab, 0, CONFIGIP_STORED_ROWS))
            return Old;
        if (rowsEqual(ConfigIP_Tab_Cmd, newTab, 0, CONFIGIP_STORED_ROWS))
            return New;
        if (rowsEqual(ConfigIP_Tab_Cmd, ConfigIP_Tab_CmdDef, 0, CONFIGIP_DEFAULT_ROWS) &&
            rowsEqual(ConfigIP_Tab_Cmd, marker, CONFIGIP_DEFAULT_ROWS, CONFIGIP_ROWS))
            return None;
        return Other;
    };

    const std::string confPath = chip.host("/flash/nor.conf");
    int seen[4] = {0, 0, 0, 0};
    Outcome previous = Old;
    uint64_t tried = 0;
    for (uint64_t cut = 0; cut <= programs; cut = nextCut(cut, programs)) {
        ++tried;
        restore();
        // Written without the heap: a sanitizer's quarantine of ten thousand
        // freed buffers would make every fork copy them.
        char conf[64];
        const int n = std::snprintf(conf, sizeof conf, "code=0x93\npower_cut_after=%llu\n",
                                    static_cast<unsigned long long>(cut));
        const int cfd = open(confPath.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(cfd, conf, static_cast<size_t>(n)), n);
        close(cfd);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // A fresh attachment starts the chip's count of programmed bytes.
            if (F_FlashDrv_Init() != 0 || norsim::reloadConfig() != 0)
                _exit(3);
            F_FlashPack_Init();
            ConfigIP_Tab_Cmd = newTab;
            _exit(F_SaveCnf_Product_ConfigIP() == 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (cut < programs)
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "cut " << cut << " status " << status;
        else
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        const Outcome got = load();
        ++seen[got];
        ASSERT_NE(got, Other) << "cut after " << cut << " programmed bytes";
        // The table goes old, then none, then new: never back.
        constexpr int rank[] = {0, 2, 1, 3};
        ASSERT_GE(rank[got], rank[previous]) << "cut " << cut;
        previous = got;
    }
    close(fd);
    std::printf("%llu of %llu cut points and one uncut save: old %d, none %d, new %d\n",
                static_cast<unsigned long long>(tried - 1), static_cast<unsigned long long>(programs), seen[Old],
                seen[None], seen[New]);
    RecordProperty("cut_points", static_cast<int>(tried - 1));
    EXPECT_EQ(seen[New], 1);
    EXPECT_GE(seen[Old], 1);
}

}  // namespace
