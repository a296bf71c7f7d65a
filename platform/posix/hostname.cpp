// The system's host name: plain POSIX, the same on the instrument and on Linux.
#include "platform/platform.h"

#include <unistd.h>

int platform_host_name(char* out, size_t outSize)
{
    if (out == NULL || outSize == 0)
        return -1;
    // A name cut to fit need not be terminated, and is not the host's name.
    out[outSize - 1] = '\0';
    if (gethostname(out, outSize) != 0 || out[outSize - 1] != '\0') {
        out[0] = '\0';
        return -1;
    }
    return 0;
}
