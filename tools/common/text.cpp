#include "tools/common/text.h"

#include <cstdio>

namespace tool {

std::string escapeBytes(std::string_view s, std::string_view alsoEscaped)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f && alsoEscaped.find(static_cast<char>(c)) == std::string_view::npos) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string hex(uint64_t v, int width)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace tool
