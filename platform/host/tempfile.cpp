// Private temporary files for spooled uploads and replayed captures.
#include "platform/platform.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

int platform_make_private_temp(const char* instrumentTemplate, char* out, size_t outSize)
{
    if (platform_path(instrumentTemplate, out, outSize) == nullptr)
        return -1;
    int fd = mkstemp(out);
    if (fd < 0) {
        out[0] = '\0';
        return -1;
    }
    close(fd);
    // mkstemp already creates 0600 on glibc, but the umask and other libcs
    // are not ours to trust: the upload may be firmware, keep it private.
    if (chmod(out, S_IRUSR | S_IWUSR) != 0) {
        unlink(out);
        out[0] = '\0';
        return -1;
    }
    return 0;
}
