#include "tools/common/json.h"

#include <cstdio>

namespace tool {

Json& Json::operator[](const std::string& key)
{
    if (!std::holds_alternative<Object>(v_))
        v_ = Object{};
    auto& o = std::get<Object>(v_);
    for (auto& [k, v] : o)
        if (k == key)
            return v;
    o.emplace_back(key, Json());
    return o.back().second;
}

void Json::push(Json value)
{
    if (!std::holds_alternative<Array>(v_))
        v_ = Array{};
    std::get<Array>(v_).push_back(std::move(value));
}

std::string jsonEscape(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                // Bytes from flash or file names need not be UTF-8: keep the
                // output valid JSON by escaping every non-ASCII byte.
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Json::dump() const
{
    struct Visitor {
        std::string operator()(std::nullptr_t) const { return "null"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const
        {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", d);
            return buf;
        }
        std::string operator()(const std::string& s) const { return jsonEscape(s); }
        std::string operator()(const Array& a) const
        {
            std::string out = "[";
            for (size_t i = 0; i < a.size(); ++i)
                out += (i ? "," : "") + a[i].dump();
            return out + "]";
        }
        std::string operator()(const Object& o) const
        {
            std::string out = "{";
            for (size_t i = 0; i < o.size(); ++i)
                out += (i ? "," : "") + jsonEscape(o[i].first) + ":" + o[i].second.dump();
            return out + "}";
        }
    };
    return std::visit(Visitor{}, v_);
}

}  // namespace tool
