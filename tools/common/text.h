// Text helpers shared by the host tools.
#pragma once

#include <string>
#include <string_view>

namespace tool {

// Keeps one report field on one line whatever bytes it holds: printable ASCII
// as it is, every other byte and every byte of `alsoEscaped` as \xHH.
std::string escapeBytes(std::string_view s, std::string_view alsoEscaped);

// What else to escape in a field printed between double quotes.
inline constexpr std::string_view kQuotedField = "\"\\";

}  // namespace tool
