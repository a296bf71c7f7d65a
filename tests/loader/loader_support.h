// Loader regions and version blocks put into a chip's image file, as the
// image writers leave them.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"

using quibtest::be32;

// Region header (size, byte sum) followed by the image.
inline std::string loaderRegion(const std::string& image)
{
    return be32(static_cast<uint32_t>(image.size())) + be32(quibtest::byteSum(image)) + image;
}

inline void putBytes(const quibtest::ChipRoot& root, uint32_t offset, const std::string& bytes)
{
    std::fstream f(root.host("/flash/nor.img"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
