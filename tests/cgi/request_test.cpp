// The request globals from the environment, URL-encoded forms, and the typed accessors over them.
#include <climits>
#include <optional>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

class Request : public CgiTest {
protected:
    void query(const std::string& q) { ASSERT_EQ(capture({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", q}}), cgiParseSuccess); }
};

}  // namespace

TEST_F(Request, ContentTypeLengthAndMethod)
{
    struct TypeCase { std::optional<std::string> contentType; std::string type, boundary; };
    const TypeCase types[] = {
        {std::nullopt, "", ""},
        {"multipart/form-data; charset=x; BOUNDARY=q1 trailing", "multipart/form-data", "q1"},
        {"multipart/form-data; boundary=\"quoted\"", "multipart/form-data", "\"quoted\""},
        {"multipart/form-data ; boundary=b", "multipart/form-data ", "b"},
        {"multipart/form-data; boundary:AB", "multipart/form-data", ""},
        {"x; boundary=" + std::string(2000, 'b'), "x", std::string(1023 - 12, 'b')},  // cut to its buffer
        {std::string(1024, 't'), std::string(1023, 't'), ""},  // one byte over
    };
    for (const TypeCase& c : types) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "HEAD"}};
        if (c.contentType)
            vars["CONTENT_TYPE"] = *c.contentType;
        ASSERT_EQ(capture(vars), cgiParseSuccess);
        EXPECT_EQ(std::pair(std::string(cgiContentType), std::string(cgiMultipartBoundary)), std::pair(c.type, c.boundary));
    }
    // CONTENT_LENGTH converts like atoi but saturates; absent texts read as "".
    for (auto [text, want] : {std::pair{"12abc", 12}, {"abc", 0}, {"-5", -5}, {"99999999999", INT_MAX},
                              {"-99999999999", INT_MIN}}) {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "PUT"}, {"CONTENT_LENGTH", text}}), cgiParseSuccess);
        EXPECT_EQ(cgiContentLength, want) << text;
        for (char** t : cgiEnvironmentTexts)
            ASSERT_TRUE(*t != nullptr && (**t == '\0' || std::string(*t) == "PUT"));
    }
    // Method and content type choose the parser.
    struct MethodCase { const char* method; const char* type; const char* query; size_t entries; };
    for (const MethodCase& c : {MethodCase{"gEt", "", "a=1&b=2", 2}, {"HEAD", "", "a=1", 0},
                                {"PUT", "application/x-www-form-urlencoded", "", 0},
                                {"POST", "application/x-www-form-urlencoded; charset=UTF-8", "q=9", 1},
                                {"post", "APPLICATION/X-WWW-FORM-URLENCODED", "", 1},
                                {"POST", "application/x-www-form+urlencoded", "", 0}, {"POST", "text/plain", "", 0},
                                {"POST", "Multipart/Form-Data; boundary=B", "", 1}}) {
        const std::string body = c.type[0] == 'M' ? multipartBody("B", {{field("a"), "x"}}) : "a=1";
        ASSERT_EQ(capture({{"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type}, {"QUERY_STRING", c.query},
                           {"CONTENT_LENGTH", std::to_string(body.size())}}, body),
                  cgiParseSuccess);
        EXPECT_EQ(entries().size(), c.entries) << c.method << " " << c.type;
    }
}

// The decoding at large is held against a reference by the fuzz target.
TEST_F(Request, UrlEncodedPairsSplitAndDecode)
{
    struct Case { std::string input; std::vector<Entry> want; };
    for (const Case& c : {Case{"a=1&b", {value("a", "1")}}, {"=1&a=b=c", {value("", "1"), value("a", "b=c")}},
                          {"key+1=caf%C3%A9%21", {value("key 1", "caf\xC3\xA9!")}}, {"v=x%zzy", {value("v", "x")}},
                          {"v=%2+&w=ab%4", {value("v", " "), value("w", "ab")}}}) {
        query(c.input);
        EXPECT_EQ(entries(), c.want) << c.input;
    }
    // A POST body is read to exactly its declared length.
    struct PostCase { std::optional<std::string> length; cgiParseResultType result; size_t entries; };
    for (const PostCase& c : {PostCase{"7", cgiParseSuccess, 2}, {"3", cgiParseSuccess, 1}, {std::nullopt, cgiParseSuccess, 0},
                              {"8", cgiParseIO, 0}, {"-1", cgiParseMemory, 0}}) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "POST"},
                                                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
        if (c.length)
            vars["CONTENT_LENGTH"] = *c.length;
        EXPECT_EQ(capture(vars, "a=1&b=2"), c.result) << c.length.value_or("(absent)");
        EXPECT_EQ(entries().size(), c.entries) << c.length.value_or("(absent)");
    }
}

// No program of the tree reads these: each keeps its main success and failure.
TEST_F(Request, TypedAccessors)
{
    // value, then as an integer and its result, bounded to 0..10 and its result; the default is 3
    struct Case { const char* value; int integer; cgiFormResultType intResult; int bounded; cgiFormResultType boundedResult; };
    for (const Case& c : {Case{"42", 42, cgiFormSuccess, 10, cgiFormConstrained}, {"10", 10, cgiFormSuccess, 10, cgiFormSuccess},
                          {"0", 0, cgiFormSuccess, 0, cgiFormSuccess}, {"x", 3, cgiFormBadType, 3, cgiFormBadType},
                          {"", 3, cgiFormEmpty, 3, cgiFormEmpty}}) {
        query(std::string("n=") + c.value);
        int v = -1, b = -1;
        EXPECT_EQ(std::tuple(cgiFormInteger("n", &v, 3), v, cgiFormIntegerBounded("n", &b, 0, 10, 3), b),
                  std::tuple(c.intResult, c.integer, c.boundedResult, c.bounded))
            << c.value;
    }
    query("d=-2.5e1x&nan=-nan(7)&big=7.5");
    double d = 0, nan = 0, big = 0;
    EXPECT_EQ(std::tuple(cgiFormDouble("d", &d, 1.5), cgiFormDouble("nan", &nan, 1.5), cgiFormDoubleBounded("big", &big, 0, 2, 1.5)),
              std::tuple(cgiFormSuccess, cgiFormBadType, cgiFormConstrained));
    EXPECT_EQ(std::tuple(d, nan, big), std::tuple(-25.0, 1.5, 2.0));

    const char* choices[] = {"a", "b", "c"};
    query("r=b&x=B&cb=a&cb=z&cb=b&flag=&y=l1%0D%0Al2&y=2");
    int r = -1, x = -1, invalid = -1;
    std::vector<int> sel(3, 7), selectSel(3, 7);
    EXPECT_EQ(std::tuple(cgiFormSelectSingle("r", choices, 3, &r, 9), cgiFormRadio("x", choices, 3, &x, 9)),
              std::tuple(cgiFormSuccess, cgiFormNoSuchChoice));
    EXPECT_EQ(std::pair(r, x), std::pair(1, 9));
    EXPECT_EQ(cgiFormCheckboxMultiple("cb", choices, 3, sel.data(), &invalid), cgiFormSuccess);
    EXPECT_EQ(std::pair(sel, invalid), std::pair(std::vector<int>{1, 1, 0}, 1));
    EXPECT_EQ(cgiFormSelectMultiple("missing", choices, 3, selectSel.data(), &invalid), cgiFormNotFound);
    EXPECT_EQ(std::pair(selectSel, invalid), std::pair(std::vector<int>{0, 0, 0}, 0));
    EXPECT_EQ(std::pair(cgiFormCheckboxSingle("flag"), cgiFormCheckboxSingle("Flag")), std::pair(cgiFormSuccess, cgiFormNotFound));

    char** values = nullptr;
    EXPECT_EQ(cgiFormStringMultiple("y", &values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"l1\nl2", "2"}));
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormStringMultiple("missing", &values), cgiFormNotFound);
    EXPECT_EQ(strings(values).size(), 0u);
    ASSERT_NE(values, nullptr) << "an empty array, never a null one";
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormEntries(&values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"r", "x", "cb", "flag", "y"}));
    cgiStringArrayFree(values);
}
