// Reading the request body from cgiIn: what has arrived, a block at a time,
// straight from the descriptor so that a read never waits to fill a buffer.
#include "cgi/cgi_internal.h"

#include <cerrno>
#include <unistd.h>

void cgiBodyBegin()
{
    // Bytes the stream may already hold go back to the descriptor (on an
    // input that can seek), so the reads below start where the stream stands.
    std::fflush(cgiIn);
}

int cgiReadBody(char* buffer, int count)
{
    const int fd = fileno(cgiIn);
    if (fd < 0)
        return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(count), cgiIn));
    for (;;) {
        ssize_t n = read(fd, buffer, static_cast<size_t>(count));
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
