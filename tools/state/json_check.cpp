#include "tools/state/json_check.h"

#include <cstddef>

namespace state {
namespace {

// Deep enough for any report; bounds the recursion on hostile input.
constexpr int kMaxDepth = 128;

class Checker {
public:
    explicit Checker(std::string_view t) : t_(t) {}

    bool document()
    {
        skipSpace();
        if (!value(0))
            return false;
        skipSpace();
        return i_ == t_.size();
    }

    char firstNonSpace()
    {
        skipSpace();
        return i_ < t_.size() ? t_[i_] : '\0';
    }

private:
    std::string_view t_;
    size_t i_ = 0;

    bool more() const { return i_ < t_.size(); }
    char peek() const { return more() ? t_[i_] : '\0'; }

    void skipSpace()
    {
        while (more() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
            ++i_;
    }

    bool literal(std::string_view word)
    {
        if (t_.substr(i_, word.size()) != word)
            return false;
        i_ += word.size();
        return true;
    }

    bool value(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        switch (peek()) {
        case '{': return members(depth, '}', true);
        case '[': return members(depth, ']', false);
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    // An object or an array: the same comma-separated list, whose members in
    // an object are each preceded by a string key and a colon.
    bool members(int depth, char close, bool keyed)
    {
        ++i_;
        skipSpace();
        if (peek() == close) {
            ++i_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (keyed && !key())
                return false;
            if (!value(depth + 1))
                return false;
            skipSpace();
            if (peek() == ',') {
                ++i_;
                continue;
            }
            if (peek() != close)
                return false;
            ++i_;
            return true;
        }
    }

    bool key()
    {
        if (peek() != '"' || !string())
            return false;
        skipSpace();
        if (peek() != ':')
            return false;
        ++i_;
        skipSpace();
        return true;
    }

    static bool isHex(char c)
    {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    bool string()
    {
        ++i_;
        while (more()) {
            unsigned char c = static_cast<unsigned char>(t_[i_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\')
                continue;
            if (!more())
                return false;
            char e = t_[i_++];
            if (e == 'u') {
                for (int k = 0; k < 4; ++k)
                    if (!more() || !isHex(t_[i_++]))
                        return false;
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }

    bool digits()
    {
        size_t start = i_;
        while (more() && t_[i_] >= '0' && t_[i_] <= '9')
            ++i_;
        return i_ > start;
    }

    bool number()
    {
        if (peek() == '-')
            ++i_;
        if (peek() == '0')
            ++i_;
        else if (!digits())
            return false;
        if (peek() == '.') {
            ++i_;
            if (!digits())
                return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++i_;
            if (peek() == '+' || peek() == '-')
                ++i_;
            if (!digits())
                return false;
        }
        return true;
    }
};

}  // namespace

bool isJsonDocument(std::string_view text)
{
    return Checker(text).document();
}

bool isJsonObject(std::string_view text)
{
    Checker c(text);
    return c.firstNonSpace() == '{' && Checker(text).document();
}

}  // namespace state
