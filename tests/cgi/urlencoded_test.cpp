// URL-encoded forms from the query string and from a POST body.
#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;

namespace {

using Pair = std::pair<std::string, std::string>;

// The name and value of each entry; a URL-encoded entry is never a file.
std::vector<Pair> pairs(const std::vector<cgitest::Entry>& list)
{
    std::vector<Pair> out;
    for (const auto& e : list) {
        EXPECT_EQ(e.valueLength, static_cast<int>(e.value.size())) << e.attr;
        EXPECT_EQ(e.fileName + e.contentType, "");
        EXPECT_FALSE(e.isFile);
        out.emplace_back(e.attr, e.value);
    }
    return out;
}

}  // namespace

TEST_F(CgiTest, UrlEncodedPairsSplitAndDecode)
{
    struct Case { std::string input; std::vector<Pair> want; };
    const Case cases[] = {
        {"", {}},
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"a=1&", {{"a", "1"}}},
        {"a=1&b", {{"a", "1"}}},
        {"flag&x=1", {{"flag&x", "1"}}},
        {"a=b=c", {{"a", "b=c"}}},
        {"=1", {{"", "1"}}},
        {"a=", {{"a", ""}}},
        {"key+1=caf%C3%A9%21", {{"key 1", "caf\xC3\xA9!"}}},
        {"v=%41%4a%4A", {{"v", "AJJ"}}},
        {"v=x%zzy", {{"v", "x"}}},    // %zz is a NUL: the value ends there
        {"v=x%00y", {{"v", "x"}}},
        {"v=ab%4", {{"v", "ab"}}},    // an escape cut by the end vanishes
        {"v=%2+", {{"v", " "}}},      // '+' inside an escape is a digit worth 0
        {"%3D=%26", {{"=", "&"}}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", c.input}}), cgiParseSuccess)
            << c.input;
        EXPECT_EQ(pairs(entries()), c.want) << c.input;
    }
}

TEST_F(CgiTest, UrlEncodedPostReadsExactlyTheDeclaredLength)
{
    struct Case {
        std::string length;
        std::string body;
        cgiParseResultType result;
        std::vector<Pair> want;
    };
    const Case cases[] = {
        {"7", "a=1&b=2", cgiParseSuccess, {{"a", "1"}, {"b", "2"}}},
        {"3", "a=1&b=2", cgiParseSuccess, {{"a", "1"}}},  // the rest is never read
        {"", "a=1", cgiParseSuccess, {}},
        {"8", "a=1&b=2", cgiParseIO, {}},  // body shorter than announced
        {"-1", "a=1", cgiParseMemory, {}},
        {"x", "a=1", cgiParseSuccess, {}},
        {"2147483647", "a=1", cgiParseMemory, {}},  // beyond the limit, refused unread
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> vars = {
            {"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
        if (!c.length.empty())
            vars["CONTENT_LENGTH"] = c.length;
        EXPECT_EQ(capture(vars, c.body), c.result) << c.length;
        EXPECT_EQ(pairs(entries()), c.want) << c.length;
    }
}
