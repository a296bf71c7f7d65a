// How a run ends when it is told to (SIGTERM, SIGINT, SIGHUP): its files are
// removed and it ends by the same signal; held while a region of the flash is
// written. SIGPIPE is ignored. Plain POSIX, the same on the instrument and on Linux.
#include "platform/platform.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

enum { kScratchSlots = 8 };

// Registered scratch files. A slot changes only while the signals are held,
// so the handler never sees one half written.
const char* volatile scratch[kScratchSlots];
void (*volatile removeOwnFiles)() = NULL;
int holdDepth = 0;

void terminationSet(sigset_t* set)
{
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGHUP);
}

void removeScratch()
{
    for (int i = 0; i < kScratchSlots; ++i) {
        const char* path = scratch[i];
        if (path != NULL)
            unlink(path);
    }
}

// Only async-signal-safe calls: it may interrupt any other code of the run.
void onTermination(int sig)
{
    if (removeOwnFiles != NULL)
        removeOwnFiles();
    removeScratch();
    // Blocked while the handler runs: the default action ends the process as it returns.
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

int platform_handle_termination(void (*ownFiles)())
{
    removeOwnFiles = ownFiles;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTermination;
    terminationSet(&sa.sa_mask);
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGTERM, &sa, NULL) != 0 || sigaction(SIGINT, &sa, NULL) != 0 ||
        sigaction(SIGHUP, &sa, NULL) != 0 || sigaction(SIGPIPE, &ignore, NULL) != 0)
        return -1;
    return 0;
}

void platform_hold_termination()
{
    if (holdDepth++ > 0)
        return;
    sigset_t set;
    terminationSet(&set);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
}

void platform_release_termination()
{
    if (holdDepth == 0 || --holdDepth > 0)
        return;
    sigset_t set;
    terminationSet(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, NULL);
}

int platform_scratch_add(const char* hostPath)
{
    platform_hold_termination();
    int result = -1;
    for (int i = 0; i < kScratchSlots && result != 0; ++i) {
        if (scratch[i] == NULL) {
            scratch[i] = hostPath;
            result = 0;
        }
    }
    platform_release_termination();
    return result;
}

void platform_scratch_forget(const char* hostPath)
{
    platform_hold_termination();
    for (int i = 0; i < kScratchSlots; ++i) {
        if (scratch[i] == hostPath)
            scratch[i] = NULL;
    }
    platform_release_termination();
}

void platform_scratch_remove(const char* hostPath)
{
    platform_hold_termination();
    unlink(hostPath);
    platform_scratch_forget(hostPath);
    platform_release_termination();
}

int platform_open_scratch(const char* instrumentTemplate, char* out, size_t outSize)
{
    platform_hold_termination();
    int fd = platform_open_private_temp(instrumentTemplate, out, outSize);
    if (fd >= 0 && platform_scratch_add(out) != 0) {
        close(fd);
        unlink(out);
        out[0] = '\0';
        fd = -1;
    }
    platform_release_termination();
    return fd;
}
