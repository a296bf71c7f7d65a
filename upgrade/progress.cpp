// The progress file of the image handler: written under a temporary name and
// renamed into place, so a reader sees a whole state or none, never half of one.
#include "upgrade/progress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

constexpr char kTempPath[] = "/tmp/upgrade.progress.tmp";
// Programming reports once per 64 KiB, erasing once per sector,
// and within a phase no more often than a person can read (the page polls a
// few times a second): on a fast flash a whole image costs a handful of writes.
constexpr int64_t kByteStep = 0x10000;
constexpr int64_t kMinIntervalNs = 200'000'000;
constexpr size_t kPathSize = 1024;

bool active = false;
char filePath[kPathSize];
char tempPath[kPathSize];
char name[128];
time_t started;
int lastPhase;
int64_t lastStep;
int64_t lastWriteNs;

int64_t nowNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Writes the whole text to the temporary name and renames it into place.
void publish(UpgradePhase phase, int64_t done, int64_t total)
{
    char text[384];
    const int n = std::snprintf(text, sizeof text,
                                "phase=%s\ndone=%lld\ntotal=%lld\nstarted=%lld\ntime=%lld\nfile=%s\n",
                                UPG_PHASE_NAMES[phase], static_cast<long long>(done),
                                static_cast<long long>(total), static_cast<long long>(started),
                                static_cast<long long>(std::time(nullptr)), name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text)
        return;
    const int fd = open(tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t w;
    do {
        w = write(fd, text, static_cast<size_t>(n));
    } while (w < 0 && errno == EINTR);
    const bool whole = w == n;
    // Replacing the file by a rename makes some file systems (ext4) flush the
    // new one first, which costs milliseconds; a rename onto no file does not.
    if (close(fd) == 0 && whole) {
        unlink(filePath);
        if (rename(tempPath, filePath) == 0) {
            lastWriteNs = nowNs();
            return;
        }
    }
    unlink(tempPath);
}

}  // namespace

void upgrade_progress_begin(const char* baseName)
{
    active = platform_path(UPG_PROGRESS_PATH, filePath, sizeof filePath) != nullptr &&
             platform_path(kTempPath, tempPath, sizeof tempPath) != nullptr;
    if (!active)
        return;
    std::snprintf(name, sizeof name, "%s", baseName);
    started = std::time(nullptr);
    lastPhase = UPG_PHASE_CHECKING;
    lastStep = 0;
    publish(UPG_PHASE_CHECKING, 0, 0);
}

void upgrade_progress(UpgradePhase phase, int64_t done, int64_t total)
{
    if (!active)
        return;
    const int64_t step = phase == UPG_PHASE_ERASING ? done : done / kByteStep;
    if (phase == lastPhase && (step == lastStep || nowNs() - lastWriteNs < kMinIntervalNs))
        return;
    lastPhase = phase;
    lastStep = step;
    publish(phase, done, total);
}

void upgrade_progress_end()
{
    if (!active)
        return;
    active = false;
    unlink(filePath);
    unlink(tempPath);
}
