// Private temporary files for spooled uploads and replayed captures: plain
// POSIX below the instrument root, the same on the instrument and on Linux.
#include "platform/platform.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

int platform_make_private_temp(const char* instrumentTemplate, char* out, size_t outSize)
{
    if (platform_path(instrumentTemplate, out, outSize) == NULL)
        return -1;
    int fd = mkstemp(out);
    if (fd < 0) {
        out[0] = '\0';
        return -1;
    }
    // The upload may be firmware: owner-only whatever the umask or the
    // library's own mode for mkstemp.
    const bool ok = fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    if (close(fd) != 0 || !ok) {
        unlink(out);
        out[0] = '\0';
        return -1;
    }
    return 0;
}
