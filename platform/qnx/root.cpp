// The instrument root on the instrument itself: its paths are used as they stand.
#include "platform/platform.h"

#include <string.h>

const char* platform_root()
{
    return "";
}

char* platform_path(const char* instrumentPath, char* out, size_t outSize)
{
    if (out == NULL || outSize == 0)
        return NULL;
    const size_t len = strlen(instrumentPath);
    if (len >= outSize) {
        out[0] = '\0';
        return NULL;
    }
    memcpy(out, instrumentPath, len + 1);
    return out;
}
