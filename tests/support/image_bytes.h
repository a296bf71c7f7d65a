// Image contents for upload tests, and the region header's words: the byte sum
// (each byte as unsigned, modulo 2^32) and 32-bit numbers most significant byte first.
#pragma once

#include <cstdint>
#include <numeric>
#include <string>

namespace quibtest {

// Bytes that differ from one position to the next, so a misplaced copy shows.
inline std::string pattern(size_t n, unsigned seed = 7)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xFF);
    return s;
}

inline uint32_t byteSum(const std::string& s)
{
    return std::accumulate(s.begin(), s.end(), 0u, [](uint32_t sum, char c) { return sum + static_cast<uint8_t>(c); });
}

inline std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

}  // namespace quibtest
