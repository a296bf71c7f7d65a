// Reading the request body from cgiIn: what has arrived, a block at a time,
// straight from the descriptor so that a read never waits to fill a buffer,
// and never longer than the idle limit for the next byte.
#include "cgi/cgi_internal.h"
#include "platform/platform.h"

#include <errno.h>
#include <sys/poll.h>
#include <unistd.h>

namespace {

int idleMs = cgiReadIdleMs;

}  // namespace

void cgiBodyBegin()
{
    idleMs = static_cast<int>(platform_shortened_limit("QUIB_READ_IDLE_MS", cgiReadIdleMs));
    // Bytes the stream may already hold go back to the descriptor (on an
    // input that can seek), so the reads below start where the stream stands.
    fflush(cgiIn);
}

int cgiReadBody(char* buffer, int count)
{
    const int fd = fileno(cgiIn);
    if (fd < 0)
        return static_cast<int>(fread(buffer, 1, static_cast<size_t>(count), cgiIn));
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, idleMs);
        if (ready == 0)
            return 0;  // stalled: the body ends here
        ssize_t n = ready > 0 ? read(fd, buffer, static_cast<size_t>(count)) : -1;
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EINTR)
            return 0;
    }
}

void cgiBodyEnd(int unused)
{
    // A pipe cannot take bytes back; nothing reads it after the parse anyway.
    // The stream's own idea of its position follows the descriptor's.
    const int fd = fileno(cgiIn);
    if (fd < 0)
        return;
    off_t at = lseek(fd, -static_cast<off_t>(unused), SEEK_CUR);
    if (at >= 0)
        fseeko(cgiIn, at, SEEK_SET);
}
