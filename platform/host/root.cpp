// The instrument root: every fixed path of the instrument lives below
// $INSTRUMENT_ROOT on this machine; unset or empty means "/".
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* platform_root()
{
    const char* root = std::getenv("INSTRUMENT_ROOT");
    if (root == nullptr || root[0] == '\0' || std::strcmp(root, "/") == 0)
        return "";
    return root;
}

char* platform_path(const char* instrumentPath, char* out, size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return nullptr;
    const char* root = platform_root();
    size_t rootLen = std::strlen(root);
    // A root given with a trailing slash must not double the separator.
    while (rootLen > 0 && root[rootLen - 1] == '/')
        --rootLen;
    const char* sep = (instrumentPath[0] == '/' || rootLen == 0) ? "" : "/";
    int n = std::snprintf(out, outSize, "%.*s%s%s", static_cast<int>(rootLen), root, sep,
                          instrumentPath);
    if (n < 0 || static_cast<size_t>(n) >= outSize) {
        out[0] = '\0';
        return nullptr;
    }
    return out;
}
