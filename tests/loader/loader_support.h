// Chip images for the identification tests: an erased chip with chosen bytes
// at chosen offsets, as `instrument init` and the image writers leave it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_root.h"

inline std::string bigEndian(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// Region header (size, byte sum) followed by the image.
inline std::string loaderRegion(const std::string& image)
{
    uint32_t sum = 0;
    for (unsigned char c : image)
        sum += c;
    return bigEndian(static_cast<uint32_t>(image.size())) + bigEndian(sum) + image;
}

inline void writeChip(const quibtest::TempRoot& root, unsigned code,
                      const std::vector<std::pair<uint32_t, std::string>>& patches)
{
    std::string img(code == 0xC8 ? 0x200000 : 0x400000, '\xff');
    for (const auto& [offset, bytes] : patches)
        if (offset + bytes.size() <= img.size())
            img.replace(offset, bytes.size(), bytes);
    root.write("/flash/nor.img", img);
    char conf[32];
    std::snprintf(conf, sizeof conf, "code=0x%02X\n", code);
    root.write("/flash/nor.conf", conf);
}
