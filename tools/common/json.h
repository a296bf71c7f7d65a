// The tools' JSON: nlohmann-json's ordered document (members keep the order
// they were set in), printed by the byte rule below (tools may allocate).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tool {

using Json = nlohmann::ordered_json;

// The document as one line. Its texts are bytes (file names, flash contents,
// requests) that need not be UTF-8: each byte stands for the character of its
// value and every byte above ASCII is written \u00XX, so that the line is
// always valid JSON and shows every byte.
std::string dumpJson(const Json& j);

// One text as a JSON string, by the same rule.
std::string jsonEscape(const std::string& s);

}  // namespace tool
