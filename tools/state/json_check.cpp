#include "tools/state/json_check.h"

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace state {
namespace {

// Deep enough for any report; refuses hostile nesting before it costs memory.
constexpr int kMaxDepth = 128;

using Json = nlohmann::json;

// Builds nothing: follows the nesting and stops at a syntax error.
struct Checker : nlohmann::json_sax<Json> {
    int depth = 0;

    bool open() { return ++depth <= kMaxDepth; }
    bool close()
    {
        --depth;
        return true;
    }
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }
};

}  // namespace

bool isJsonDocument(std::string_view text)
{
    Checker c;
    return Json::sax_parse(text.begin(), text.end(), &c, nlohmann::detail::input_format_t::json, true);
}

bool isJsonObject(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\n\r");
    return first != std::string_view::npos && text[first] == '{' && isJsonDocument(text);
}

}  // namespace state
