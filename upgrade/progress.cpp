// The progress file of the image handler: each state written to a new private
// file and renamed into place, so a reader sees a whole state or none, never
// half of one, and nothing planted at either name is followed or waited on.
#include "upgrade/progress.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "upgrade/upgrade_internal.h"

namespace {

const char kTempTemplate[] = "/tmp/upgrade.progress.XXXXXX";
// Programming reports once per 64 KiB, erasing once per sector,
// and within a phase no more often than a person can read (the page polls a
// few times a second): on a fast flash a whole image costs a handful of writes.
const int64_t kByteStep = 0x10000;
const int64_t kMinIntervalNs = 200000000;
enum { kPathSize = 1024 };
// A 64-bit value in decimal: its sign, 19 digits and the terminator.
enum { kDecimalSize = 21 };

bool active = false;
char filePath[kPathSize];
char tempPath[kPathSize];
// The base name percent-encoded: no byte of it can end its line or be taken
// for anything but the name by whoever reads the record.
char name[3 * 128];
time_t started;
int lastPhase;
int64_t lastStep;
int64_t lastWriteNs;

int64_t nowNs()
{
    timespec ts = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Writes v in decimal at the end of out and returns where it starts: printf
// has no length for 64-bit values in C++03 ("ll" is C99's).
const char* Decimal(int64_t v, char (&out)[kDecimalSize])
{
    // Unsigned, so that the most negative value has a magnitude too.
    uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    char* p = out + kDecimalSize - 1;
    *p = '\0';
    do {
        *--p = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m != 0);
    if (v < 0)
        *--p = '-';
    return p;
}

// Writes the whole text to a new private file and renames it into place.
void publish(UpgradePhase phase, int64_t done, int64_t total)
{
    char text[512];
    char doneText[kDecimalSize];
    char totalText[kDecimalSize];
    char startedText[kDecimalSize];
    char timeText[kDecimalSize];
    const int n = snprintf(text, sizeof text,
                           "phase=%s\ndone=%s\ntotal=%s\nstarted=%s\ntime=%s\nfile=%s\n",
                           UPG_PHASE_NAMES[phase], Decimal(done, doneText),
                           Decimal(total, totalText), Decimal(started, startedText),
                           Decimal(time(NULL), timeText), name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text)
        return;
    // A scratch file: a run ended by a signal meanwhile leaves none behind.
    const int fd = platform_open_scratch(kTempTemplate, tempPath, sizeof tempPath);
    if (fd < 0)
        return;
    ssize_t w;
    do {
        w = write(fd, text, static_cast<size_t>(n));
    } while (w < 0 && errno == EINTR);
    const bool whole = w == n;
    // Replacing the file by a rename makes some file systems (ext4) flush the
    // new one first, which costs milliseconds; a rename onto no file does not.
    // A rename replaces a link or FIFO at the name; it never writes through one.
    if (close(fd) == 0 && whole) {
        unlink(filePath);
        if (rename(tempPath, filePath) == 0) {
            platform_scratch_forget(tempPath);
            lastWriteNs = nowNs();
            return;
        }
    }
    platform_scratch_remove(tempPath);
}

}  // namespace

void upgrade_progress_begin(const char* baseName)
{
    active = platform_path(UPG_PROGRESS_PATH, filePath, sizeof filePath) != NULL &&
             PercentEncode(baseName, name, sizeof name);
    if (!active)
        return;
    // The record goes with a run that a signal ends.
    platform_scratch_add(filePath);
    started = time(NULL);
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
    platform_scratch_remove(filePath);
}
