// SHA-256 (FIPS 180-4), incremental, for the peers' log of the files they read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tool {

class Sha256 {
public:
    Sha256();
    void update(const void* data, size_t len);
    // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
    std::string hex();

private:
    void block(const uint8_t* p);

    std::array<uint32_t, 8> h_;
    std::array<uint8_t, 64> buf_ {};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

}  // namespace tool
