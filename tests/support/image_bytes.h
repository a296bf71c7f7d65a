// Image contents for upload tests and the region header's encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quibtest {

// Bytes that differ from one position to the next, so a misplaced copy shows.
std::string pattern(size_t n, unsigned seed = 7);
// The region header's byte sum: every byte added as unsigned, modulo 2^32.
uint32_t byteSum(const std::string& s);
// A 32-bit number most significant byte first, as flash formats store it.
std::string be32(uint32_t v);

}  // namespace quibtest
