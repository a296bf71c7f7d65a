// Bus cycles and time per KiB of the flash driver's block write, byte write,
// block read and sector erase on the simulated chip, in a root of its own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "platform/host/nor_chip.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figure {
    const char* what;
    double kib;
    norsim::Counters c;
    double seconds;
};

template <class F>
Figure measure(const char* what, double kib, F body)
{
    norsim::resetCounters();
    auto t0 = Clock::now();
    body();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    return {what, kib, norsim::counters(), s};
}

void eraseAll(uint32_t first, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        F_FlashDrv_EraseSector(FLASH_ADD_DEBUT + (first + i) * FLASH_SECTOR_SIZE);
}

}  // namespace

int main()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "quibbench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr || norsim::createErasedChip(tmpl.c_str(), 0x93) != 0) {
        std::perror("bench_flash: root");
        return 1;
    }
    setenv("INSTRUMENT_ROOT", tmpl.c_str(), 1);
    if (F_FlashDrv_Init() != 0) {
        std::fprintf(stderr, "bench_flash: the chip did not map\n");
        std::filesystem::remove_all(tmpl);
        return 1;
    }

    // The firmware region's ten sectors: 640 KiB, written as the image
    // writers do, 1024 bytes a call.
    constexpr uint32_t kFirst = FLASH_OFF_FIRMW / FLASH_SECTOR_SIZE, kSectors = 10;
    constexpr uint32_t kBytes = kSectors * FLASH_SECTOR_SIZE;
    constexpr double kKiB = kBytes / 1024.0;
    std::vector<uint8_t> data(kBytes);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    std::vector<uint8_t> back(kBytes);

    std::vector<Figure> figs;
    figs.push_back(measure("block write (1024 B a call)", kKiB, [&] {
        uintptr_t cur = FLASH_ADD_FIRMW;
        for (uint32_t off = 0; off < kBytes; off += 1024)
            F_FlashDrv_Write(&cur, data.data() + off, 1024);
    }));
    figs.push_back(measure("block read (1024 B a call)", kKiB, [&] {
        uintptr_t cur = FLASH_ADD_FIRMW;
        for (uint32_t off = 0; off < kBytes; off += 1024)
            F_FlashDrv_Read(&cur, back.data() + off, 1024);
    }));
    bool same = back == data;
    figs.push_back(measure("sector erase (no busy status)", kKiB, [&] { eraseAll(kFirst, kSectors); }));
    figs.push_back(measure("byte write (WriteByte)", kKiB, [&] {
        uintptr_t cur = FLASH_ADD_FIRMW;
        for (uint32_t i = 0; i < kBytes; ++i)
            F_FlashDrv_WriteByte(&cur, data[i]);
    }));

    // The firmware writer as an upload runs it, erase included, without and
    // with the progress file (which is only written between begin and end).
    const std::string upload = tmpl + "/tmp/quibBench";
    std::filesystem::create_directories(tmpl + "/tmp");
    if (FILE* f = std::fopen(upload.c_str(), "wb")) {
        std::fwrite(data.data(), 1, kBytes - 136, f);
        std::fclose(f);
    }
    S_EtatLoader.boardVersion = 1;
    S_EtatLoader.firmwareSectorCount = kSectors;
    for (bool progress : {false, true, false, true}) {
        figs.push_back(measure(progress ? "firmware writer, progress file" : "firmware writer, no progress",
                               kKiB, [&] {
                                   if (progress)
                                       upgrade_progress_begin("FrmWCINT_bench.bin");
                                   flash_firmware("FrmWCINT_bench.bin", upload.c_str());
                                   if (progress)
                                       upgrade_progress_end();
                               }));
    }

    // One update of the progress file alone: each call changes the phase, so
    // each one writes and renames.
    constexpr int kUpdates = 200;
    upgrade_progress_begin("FrmWCINT_bench.bin");
    const auto u0 = Clock::now();
    for (int i = 0; i < kUpdates; ++i)
        upgrade_progress(i % 2 ? UPG_PHASE_PROGRAMMING : UPG_PHASE_ERASING, i, kUpdates);
    const double perUpdate = std::chrono::duration<double>(Clock::now() - u0).count() / kUpdates;
    upgrade_progress_end();

    // A chip that reports the erase still running on its first status read
    // costs the driver one 0.2 s sleep per sector.
    FILE* conf = std::fopen((tmpl + "/flash/nor.conf").c_str(), "w");
    if (conf != nullptr) {
        std::fputs("code=0x93\nerase_busy_reads=1\n", conf);
        std::fclose(conf);
    }
    norsim::reloadConfig();
    figs.push_back(measure("sector erase (1 busy status)", FLASH_SECTOR_SIZE / 1024.0,
                           [&] { eraseAll(kFirst, 1); }));

    std::printf("flash driver on the simulated 4 MiB chip (%s read-back)\n",
                same ? "verified" : "FAILED");
    std::printf("%-32s %5s %9s %9s %10s %10s %10s\n", "operation", "KiB", "reads", "writes",
                "reads/KiB", "writes/KiB", "us/KiB");
    for (const Figure& f : figs)
        std::printf("%-32s %5.0f %9llu %9llu %10.3f %10.3f %10.2f\n", f.what, f.kib,
                    static_cast<unsigned long long>(f.c.reads),
                    static_cast<unsigned long long>(f.c.writes), f.c.reads / f.kib,
                    f.c.writes / f.kib, f.seconds * 1e6 / f.kib);

    std::printf("progress file: %.1f us per update (a phase change, a sector, or 64 KiB and 0.2 s)\n",
                perUpdate * 1e6);

    std::filesystem::remove_all(tmpl);
    return same ? 0 : 1;
}
