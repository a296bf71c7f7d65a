#include "tests/support/image_bytes.h"

namespace quibtest {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xFF);
    return s;
}

uint32_t byteSum(const std::string& s)
{
    uint32_t sum = 0;
    for (unsigned char c : s)
        sum += c;
    return sum;
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

}  // namespace quibtest
