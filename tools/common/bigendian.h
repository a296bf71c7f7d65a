// Big-endian 32-bit words, as the instrument's flash and records hold them:
// the tools' one way to read and write them, whatever the host's byte order.
#pragma once

#include <cstdint>
#include <string>

inline uint32_t readBe32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline std::string be32Bytes(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}
