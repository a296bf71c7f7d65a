// A small ordered JSON value for the host tools' reports (tools may allocate).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tool {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() : v_(nullptr) {}
    Json(std::nullptr_t) : v_(nullptr) {}
    Json(bool b) : v_(b) {}
    Json(int i) : v_(static_cast<int64_t>(i)) {}
    Json(unsigned i) : v_(static_cast<int64_t>(i)) {}
    Json(long i) : v_(static_cast<int64_t>(i)) {}
    Json(unsigned long i) : v_(static_cast<int64_t>(i)) {}
    Json(long long i) : v_(static_cast<int64_t>(i)) {}
    Json(unsigned long long i) : v_(static_cast<int64_t>(i)) {}
    Json(double d) : v_(d) {}
    Json(const char* s) : v_(std::string(s)) {}
    Json(std::string s) : v_(std::move(s)) {}
    Json(Array a) : v_(std::move(a)) {}
    Json(Object o) : v_(std::move(o)) {}

    static Json object() { return Json(Object{}); }
    static Json array() { return Json(Array{}); }

    // Object member (added when missing, in insertion order).
    Json& operator[](const std::string& key);
    // Appends to an array.
    void push(Json value);

    std::string dump() const;

private:
    std::variant<std::nullptr_t, bool, int64_t, double, std::string, Array, Object> v_;
};

std::string jsonEscape(const std::string& s);

}  // namespace tool
