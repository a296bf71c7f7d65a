// Text helpers shared by the host tools.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tool {

// Keeps one report field on one line whatever bytes it holds: printable ASCII
// as it is, every other byte and every byte of `alsoEscaped` as \xHH.
std::string escapeBytes(std::string_view s, std::string_view alsoEscaped);

// "0x" and upper-case hexadecimal digits, at least `width` of them.
std::string hex(uint64_t v, int width = 0);

// What else to escape in a field printed between double quotes.
inline constexpr std::string_view kQuotedField = "\"\\";

}  // namespace tool
