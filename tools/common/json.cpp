#include "tools/common/json.h"

#include <utility>

namespace tool {

namespace {

// s with each byte as the character of its value, in UTF-8.
std::string bytesAsText(const std::string& s)
{
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A copy of j whose keys and strings hold bytesAsText of their bytes.
Json asText(const Json& j)
{
    if (j.is_string())
        return bytesAsText(j.get_ref<const std::string&>());
    if (j.is_array()) {
        Json out = Json::array();
        for (const Json& e : j)
            out.push_back(asText(e));
        return out;
    }
    if (j.is_object()) {
        Json out = Json::object();
        for (const auto& [k, v] : j.items())
            out[bytesAsText(k)] = asText(v);
        return out;
    }
    return j;
}

}  // namespace

std::string dumpJson(const Json& j) { return asText(j).dump(-1, ' ', true); }

std::string jsonEscape(const std::string& s) { return dumpJson(Json(s)); }

}  // namespace tool
