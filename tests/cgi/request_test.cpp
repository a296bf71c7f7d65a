// The request globals from the environment, URL-encoded forms, and the typed accessors over them.
#include <climits>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

class Request : public CgiTest {
protected:
    void query(const std::string& q)
    {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", q}}), cgiParseSuccess);
    }
};

}  // namespace

TEST_F(Request, ContentTypeLengthAndMethod)
{
    struct TypeCase { std::string contentType, type, boundary; };
    const TypeCase types[] = {
        {"multipart/form-data; charset=x; BOUNDARY=q1 trailing", "multipart/form-data", "q1"},
        {"multipart/form-data; boundary=\"q r\"; charset=x", "multipart/form-data", "q r"},  // a quoted-string
        {"multipart/form-data ; boundary=b", "multipart/form-data ", "b"},
        {"multipart/form-data; boundary:AB", "multipart/form-data", ""},
        {"x; boundary=" + std::string(2000, 'b'), "x", std::string(1023 - 12, 'b')},  // cut to its buffer
        {std::string(1024, 't'), std::string(1023, 't'), ""},  // one byte over
    };
    for (const TypeCase& c : types) {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "HEAD"}, {"CONTENT_TYPE", c.contentType}}), cgiParseSuccess);
        EXPECT_EQ(std::pair(std::string(cgiContentType), std::string(cgiMultipartBoundary)),
                  std::pair(c.type, c.boundary));
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
                                {"POST", "application/x-www-form+urlencoded", "", 0}, {"POST", "text/plain", "", 0}}) {
        ASSERT_EQ(capture({{"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type}, {"QUERY_STRING", c.query},
                           {"CONTENT_LENGTH", "3"}}, "a=1"),
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
    struct PostCase { const char* length; cgiParseResultType result; size_t entries; };
    for (const PostCase& c : {PostCase{"7", cgiParseSuccess, 2}, {"3", cgiParseSuccess, 1}, {"0", cgiParseSuccess, 0},
                              {"8", cgiParseIO, 0}, {"-1", cgiParseMemory, 0}}) {
        EXPECT_EQ(post("a=1&b=2", c.length, "application/x-www-form-urlencoded"), c.result) << c.length;
        EXPECT_EQ(entries().size(), c.entries) << c.length;
    }
}

// No program of the tree reads these: each keeps its main success and failure.
TEST_F(Request, TypedAccessors)
{
    // value; as an integer, bounded to 0..10; the default is 3
    struct Case { const char* value; int integer, bounded; cgiFormResultType intResult, boundedResult; };
    for (const Case& c : {Case{"42", 42, 10, cgiFormSuccess, cgiFormConstrained},
                          {"10", 10, 10, cgiFormSuccess, cgiFormSuccess}, {"0", 0, 0, cgiFormSuccess, cgiFormSuccess},
                          {"x", 3, 3, cgiFormBadType, cgiFormBadType}, {"", 3, 3, cgiFormEmpty, cgiFormEmpty}}) {
        query(std::string("n=") + c.value);
        int v = -1, b = -1;
        EXPECT_EQ(std::pair(cgiFormInteger("n", &v, 3), cgiFormIntegerBounded("n", &b, 0, 10, 3)),
                  std::pair(c.intResult, c.boundedResult)) << c.value;
        EXPECT_EQ(std::pair(v, b), std::pair(c.integer, c.bounded)) << c.value;
    }
    query("d=-2.5e1x&nan=-nan(7)&big=7.5");
    double d = 0, nan = 0, big = 0;
    EXPECT_EQ((std::vector{cgiFormDouble("d", &d, 1.5), cgiFormDouble("nan", &nan, 1.5),
                           cgiFormDoubleBounded("big", &big, 0, 2, 1.5)}),
              (std::vector{cgiFormSuccess, cgiFormBadType, cgiFormConstrained}));
    EXPECT_EQ((std::vector{d, nan, big}), (std::vector{-25.0, 1.5, 2.0}));

    const char* choices[] = {"a", "b", "c"};
    query("r=b&x=B&cb=a&cb=z&cb=b&flag=&y=l1%0D%0Al2&y=2");
    int r = -1, x = -1, invalid = -1, none = -1;
    std::vector<int> checked(3, 7), selected(3, 7);
    EXPECT_EQ((std::vector{cgiFormSelectSingle("r", choices, 3, &r, 9), cgiFormRadio("x", choices, 3, &x, 9),
                           cgiFormCheckboxMultiple("cb", choices, 3, checked.data(), &invalid),
                           cgiFormSelectMultiple("missing", choices, 3, selected.data(), &none),
                           cgiFormCheckboxSingle("flag"), cgiFormCheckboxSingle("Flag")}),
              (std::vector{cgiFormSuccess, cgiFormNoSuchChoice, cgiFormSuccess, cgiFormNotFound, cgiFormSuccess,
                           cgiFormNotFound}));
    EXPECT_EQ((std::vector{r, x, invalid, none}), (std::vector{1, 9, 1, 0}));
    EXPECT_EQ(checked, (std::vector{1, 1, 0}));
    EXPECT_EQ(selected, (std::vector{0, 0, 0}));

    char** values = nullptr;
    EXPECT_EQ(cgiFormStringMultiple("y", &values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"l1\nl2", "2"}));
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormStringMultiple("missing", &values), cgiFormNotFound);
    ASSERT_NE(values, nullptr) << "an empty array, never a null one";
    EXPECT_EQ(values[0], nullptr);
    cgiStringArrayFree(values);
    EXPECT_EQ(cgiFormEntries(&values), cgiFormSuccess);
    EXPECT_EQ(strings(values), (std::vector<std::string>{"r", "x", "cb", "flag", "y"}));
    cgiStringArrayFree(values);
}
