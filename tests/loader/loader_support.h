// Loader regions and version blocks put into a chip's image file, as the
// image writers leave them.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/chip_root.h"

inline std::string bigEndian(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// Region header (size, byte sum) followed by the image.
inline std::string loaderRegion(const std::string& image)
{
    uint32_t sum = 0;
    for (unsigned char c : image)
        sum += c;
    return bigEndian(static_cast<uint32_t>(image.size())) + bigEndian(sum) + image;
}

inline void putBytes(const quibtest::ChipRoot& root, uint32_t offset, const std::string& bytes)
{
    std::fstream f(root.host("/flash/nor.img"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
