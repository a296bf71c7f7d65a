// The request globals from the environment, and how method and content type choose the parser.
#include <climits>
#include <optional>

#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;

TEST_F(CgiTest, ContentTypeIsCutAtItsFirstParameterAndYieldsTheBoundary)
{
    struct Case {
        std::optional<std::string> contentType;
        const char* type;
        const char* boundary;  // nullptr: 1023 - 12 bytes of 'b'
    };
    const Case cases[] = {
        {std::nullopt, "", ""},
        {"Multipart/Form-Data; boundary=AaB03x", "Multipart/Form-Data", "AaB03x"},
        {"multipart/form-data; charset=x; BOUNDARY=q1 trailing", "multipart/form-data", "q1"},
        {"multipart/form-data; boundary=\"quoted\"", "multipart/form-data", "\"quoted\""},
        {"multipart/form-data ; boundary=b", "multipart/form-data ", "b"},
        {"multipart/form-data;boundary=", "multipart/form-data", ""},
        {"multipart/form-data; boundary:AB", "multipart/form-data", ""},
        {"x; boundary=" + std::string(2000, 'b'), "x", nullptr},  // cut to its buffer, boundary and all
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "HEAD"}};
        if (c.contentType)
            vars["CONTENT_TYPE"] = *c.contentType;
        ASSERT_EQ(capture(vars), cgiParseSuccess);
        EXPECT_STREQ(cgiContentType, c.type) << c.contentType.value_or("(absent)");
        EXPECT_EQ(cgiMultipartBoundary, std::string(c.boundary ? c.boundary : std::string(1023 - 12, 'b')))
            << c.contentType.value_or("(absent)");
    }
    ASSERT_EQ(capture({{"REQUEST_METHOD", "HEAD"}, {"CONTENT_TYPE", std::string(2000, 't')}}), cgiParseSuccess);
    EXPECT_EQ(cgiContentType, std::string(1023, 't'));
}

TEST_F(CgiTest, ContentLengthConvertsLikeAtoiButSaturates)
{
    struct Case { const char* text; int want; };
    const Case cases[] = {
        {nullptr, 0}, {"12abc", 12}, {"abc", 0}, {"-5", -5}, {" 7", 7},
        {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "PUT"}};
        if (c.text)
            vars["CONTENT_LENGTH"] = c.text;
        ASSERT_EQ(capture(vars), cgiParseSuccess);
        EXPECT_EQ(cgiContentLength, c.want) << (c.text ? c.text : "(absent)");
        for (char** text : cgiEnvironmentTexts)  // the absent ones read as ""
            ASSERT_TRUE(*text != nullptr && (**text == '\0' || std::string(*text) == "PUT"));
    }
}

TEST_F(CgiTest, MethodAndContentTypeChooseTheParser)
{
    struct Case {
        const char* method;
        const char* type;
        const char* query;
        const char* body;
        size_t entries;
    };
    const Case cases[] = {
        {"gEt", "", "a=1&b=2", "", 2},
        {"HEAD", "", "a=1", "", 0},
        {"PUT", "application/x-www-form-urlencoded", "", "a=1", 0},
        {"POST", "application/x-www-form-urlencoded; charset=UTF-8", "q=9", "a=1", 1},
        {"post", "APPLICATION/X-WWW-FORM-URLENCODED", "", "a=1", 1},
        {"POST", "application/x-www-form-urlencoded ;charset=x", "", "a=1", 0},
        {"POST", "text/plain", "", "a=1", 0},
        {"POST", "Multipart/Form-Data; boundary=B", "",
         "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n--B--\r\n", 1},
    };
    for (const Case& c : cases) {
        std::string body = c.body;
        ASSERT_EQ(capture({{"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type},
                           {"QUERY_STRING", c.query},
                           {"CONTENT_LENGTH", std::to_string(body.size())}},
                          body),
                  cgiParseSuccess)
            << c.method << " " << c.type;
        EXPECT_EQ(entries().size(), c.entries) << c.method << " " << c.type;
    }
}
