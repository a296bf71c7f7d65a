// The instrument root on the instrument itself: its paths are used as they stand.
#include "platform/platform.h"

#include <cstring>

const char* platform_root()
{
    return "";
}

char* platform_path(const char* instrumentPath, char* out, size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return nullptr;
    const size_t len = std::strlen(instrumentPath);
    if (len >= outSize) {
        out[0] = '\0';
        return nullptr;
    }
    std::memcpy(out, instrumentPath, len + 1);
    return out;
}
