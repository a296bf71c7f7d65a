// The request globals from the environment, URL-encoded forms, and the typed accessors over them.
#include <climits>
#include <optional>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

using Pair = std::pair<std::string, std::string>;

class Request : public CgiTest {
protected:
    void query(const std::string& q)
    {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", q}}), cgiParseSuccess);
    }
    std::vector<Pair> pairs()  // a URL-encoded entry is never a file
    {
        std::vector<Pair> out;
        for (const Entry& e : entries()) {
            EXPECT_EQ(std::tuple(e.valueLength, e.fileName + e.contentType, e.isFile),
                      std::tuple(static_cast<int>(e.value.size()), "", false));
            out.emplace_back(e.attr, e.value);
        }
        return out;
    }
};

}  // namespace

TEST_F(Request, ContentTypeLengthAndMethod)
{
    struct TypeCase { std::optional<std::string> contentType; std::string type, boundary; };
    const TypeCase types[] = {
        {std::nullopt, "", ""},
        {"Multipart/Form-Data; boundary=AaB03x", "Multipart/Form-Data", "AaB03x"},
        {"multipart/form-data; charset=x; BOUNDARY=q1 trailing", "multipart/form-data", "q1"},
        {"multipart/form-data; boundary=\"quoted\"", "multipart/form-data", "\"quoted\""},
        {"multipart/form-data ; boundary=b", "multipart/form-data ", "b"},
        {"multipart/form-data;boundary=", "multipart/form-data", ""},
        {"multipart/form-data; boundary:AB", "multipart/form-data", ""},
        {"x; boundary=" + std::string(2000, 'b'), "x", std::string(1023 - 12, 'b')},  // cut to its buffer
        {std::string(1024, 't'), std::string(1023, 't'), ""},  // one byte over
    };
    for (const TypeCase& c : types) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "HEAD"}};
        if (c.contentType)
            vars["CONTENT_TYPE"] = *c.contentType;
        ASSERT_EQ(capture(vars), cgiParseSuccess);
        EXPECT_EQ(std::tuple(std::string(cgiContentType), std::string(cgiMultipartBoundary)),
                  std::tuple(c.type, c.boundary));
    }
    // CONTENT_LENGTH converts like atoi but saturates; absent texts read as "".
    for (auto [text, want] : {std::pair{"12abc", 12}, {"abc", 0}, {"-5", -5}, {" 7", 7}, {"99999999999", INT_MAX},
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
                                {"POST", "application/x-www-form-urlencoded ;charset=x", "", 0},
                                {"POST", "application/x-www-form+urlencoded", "", 0}, {"POST", "text/plain", "", 0},
                                {"POST", "Multipart/Form-Data; boundary=B", "", 1}}) {
        const std::string body = c.type[0] == 'M' ? multipartBody("B", {{field("a"), "x"}}) : "a=1";
        ASSERT_EQ(capture({{"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type}, {"QUERY_STRING", c.query},
                           {"CONTENT_LENGTH", std::to_string(body.size())}},
                          body),
                  cgiParseSuccess);
        EXPECT_EQ(entries().size(), c.entries) << c.method << " " << c.type;
    }
}

TEST_F(Request, UrlEncodedPairsSplitAndDecode)
{
    struct Case { std::string input; std::vector<Pair> want; };
    // The decoding at large is held against a reference by the urlencoded fuzz target.
    const Case cases[] = {
        {"", {}}, {"a=1&b", {{"a", "1"}}}, {"flag&x=1", {{"flag&x", "1"}}}, {"=1&a=b=c", {{"", "1"}, {"a", "b=c"}}},
        {"key+1=caf%C3%A9%21", {{"key 1", "caf\xC3\xA9!"}}}, {"v=x%zzy", {{"v", "x"}}},  // %zz is a NUL
        {"v=ab%4", {{"v", "ab"}}}, {"v=%2+", {{"v", " "}}}, {"%3D=%26", {{"=", "&"}}},
    };
    for (const Case& c : cases) {
        query(c.input);
        EXPECT_EQ(pairs(), c.want) << c.input;
    }
    // A POST body is read to exactly its declared length.
    struct PostCase { std::optional<std::string> length; cgiParseResultType result; std::vector<Pair> want; };
    for (const PostCase& c : {PostCase{"7", cgiParseSuccess, {{"a", "1"}, {"b", "2"}}},
                              {"3", cgiParseSuccess, {{"a", "1"}}}, {std::nullopt, cgiParseSuccess, {}},
                              {"8", cgiParseIO, {}}, {"-1", cgiParseMemory, {}}, {"x", cgiParseSuccess, {}},
                              {"2147483647", cgiParseMemory, {}}}) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "POST"},
                                                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
        if (c.length)
            vars["CONTENT_LENGTH"] = *c.length;
        EXPECT_EQ(capture(vars, "a=1&b=2"), c.result) << c.length.value_or("(absent)");
        EXPECT_EQ(pairs(), c.want) << c.length.value_or("(absent)");
    }
}

TEST_F(Request, TypedNumbersAndTheirBounds)
{
    // value (nullptr: absent), then integer and result, bounded to 0..10 and result; the default is 3
    struct Case { const char* value; int integer; cgiFormResultType intResult; int bounded; cgiFormResultType boundedResult; };
    const Case cases[] = {
        {"42", 42, cgiFormSuccess, 10, cgiFormConstrained}, {"-5", -5, cgiFormSuccess, 0, cgiFormConstrained},
        {"  5", 5, cgiFormSuccess, 5, cgiFormSuccess},      {"12abc", 12, cgiFormSuccess, 10, cgiFormConstrained},
        {"-", 0, cgiFormSuccess, 0, cgiFormSuccess},        {"10", 10, cgiFormSuccess, 10, cgiFormSuccess},
        {"   ", 3, cgiFormBadType, 3, cgiFormBadType},      {"", 3, cgiFormEmpty, 3, cgiFormEmpty},
        {"99999999999", 2147483647, cgiFormSuccess, 10, cgiFormConstrained},
        {nullptr, 3, cgiFormNotFound, 3, cgiFormNotFound},
    };
    for (const Case& c : cases) {
        query(c.value ? std::string("n=") + c.value : "other=1");
        int v = -1, b = -1;
        EXPECT_EQ(std::tuple(cgiFormInteger("n", &v, 3), v, cgiFormIntegerBounded("n", &b, 0, 10, 3), b),
                  std::tuple(c.intResult, c.integer, c.boundedResult, c.bounded))
            << c.value;
    }
    int v = -1;  // n still absent
    EXPECT_EQ(cgiFormIntegerBounded("n", &v, 5, 9, 3), cgiFormNotFound);
    EXPECT_EQ(v, 3) << "the default is not clamped";

    struct DoubleCase { const char* value; bool bounded; double want; cgiFormResultType result; };
    for (const DoubleCase& c : {DoubleCase{"-2.5e1x", false, -25.0, cgiFormSuccess}, {",5", false, 1.5, cgiFormBadType},
                                {"-nan(7)", false, 1.5, cgiFormBadType}, {"7.5", true, 2.0, cgiFormConstrained}}) {
        query(std::string("d=") + c.value);
        double d = -1;
        EXPECT_EQ(c.bounded ? cgiFormDoubleBounded("d", &d, 0.0, 2.0, 1.5) : cgiFormDouble("d", &d, 1.5), c.result)
            << c.value;
        EXPECT_DOUBLE_EQ(d, c.want) << c.value;
    }
}

TEST_F(Request, TypedChoicesAndArrays)
{
    const char* choices[] = {"a", "b", "c"};
    query("r=b&r=a&x=B&cb=a&cb=z&cb=b&only=z&flag=&y=l1%0D%0Al2&y=a%0D%0A%0D%0Ab");
    for (auto [name, want, result] : {std::tuple{"r", 1, cgiFormSuccess}, std::tuple{"x", 9, cgiFormNoSuchChoice},
                                      std::tuple{"missing", 9, cgiFormNotFound}}) {
        int v = -1;
        EXPECT_EQ(cgiFormSelectSingle(name, choices, 3, &v, 9), result) << name;
        EXPECT_EQ(v, want) << name;
        EXPECT_EQ(cgiFormRadio(name, choices, 3, &v, 9), result) << name;
    }
    struct Multiple { const char* name; std::vector<int> selected; int invalid; cgiFormResultType result; };
    for (const Multiple& c : {Multiple{"cb", {1, 1, 0}, 1, cgiFormSuccess}, {"only", {0, 0, 0}, 1, cgiFormNotFound},
                              {"missing", {0, 0, 0}, 0, cgiFormNotFound}}) {
        std::vector<int> sel(3, 7);
        int invalid = -1;
        EXPECT_EQ(cgiFormCheckboxMultiple(c.name, choices, 3, sel.data(), &invalid), c.result) << c.name;
        EXPECT_EQ(std::tuple(sel, invalid), std::tuple(c.selected, c.invalid)) << c.name;
        EXPECT_EQ(cgiFormSelectMultiple(c.name, choices, 3, sel.data(), &invalid), c.result);
    }
    EXPECT_EQ(cgiFormCheckboxSingle("flag"), cgiFormSuccess);
    EXPECT_EQ(cgiFormCheckboxSingle("Flag"), cgiFormNotFound);

    char** values = nullptr;
    EXPECT_EQ(cgiFormStringMultiple("y", &values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"l1\nl2", "a\n\nb"}));
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormEntries(&values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"r", "x", "cb", "only", "flag", "y"}));
    cgiStringArrayFree(values);
    cgiFreeResources();
    for (int missing : {0, 1}) {  // an empty array, never a null one
        EXPECT_EQ(missing ? cgiFormStringMultiple("y", &values) : cgiFormEntries(&values),
                  missing ? cgiFormNotFound : cgiFormSuccess);
        ASSERT_NE(values, nullptr);
        EXPECT_EQ(values[0], nullptr);
        cgiStringArrayFree(values);
    }
    cgiStringArrayFree(nullptr);

}
