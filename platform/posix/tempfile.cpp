// Private temporary files for spooled uploads, replayed captures and scratch
// files: plain POSIX below the instrument root, the same on the instrument
// and on Linux.
#include "platform/platform.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int platform_open_private_temp(const char* instrumentTemplate, char* out, size_t outSize)
{
    if (platform_path(instrumentTemplate, out, outSize) == NULL)
        return -1;
    // mkstemp creates with O_CREAT|O_EXCL: a link or FIFO planted under the
    // name it draws makes it draw again, never opens it.
    const int fd = mkstemp(out);
    if (fd < 0) {
        out[0] = '\0';
        return -1;
    }
    // The upload may be firmware: owner-only whatever the umask or the
    // library's own mode for mkstemp. No program the run starts inherits it.
    if (fchmod(fd, S_IRUSR | S_IWUSR) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        close(fd);
        unlink(out);
        out[0] = '\0';
        return -1;
    }
    return fd;
}
