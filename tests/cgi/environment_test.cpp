#include <climits>
#include <cstring>

#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;

TEST_F(CgiTest, ContentTypeIsCutAtItsFirstParameterAndYieldsTheBoundary)
{
    struct Case {
        const char* contentType;  // nullptr: absent
        const char* type;
        const char* boundary;
    };
    const Case cases[] = {
        {nullptr, "", ""},
        {"Multipart/Form-Data; boundary=AaB03x", "Multipart/Form-Data", "AaB03x"},
        {"multipart/form-data; charset=x; BOUNDARY=q1 trailing", "multipart/form-data", "q1"},
        {"multipart/form-data; boundary=\"quoted\"", "multipart/form-data", "\"quoted\""},
        {"multipart/form-data ; boundary=b", "multipart/form-data ", "b"},
        {"multipart/form-data;boundary=", "multipart/form-data", ""},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> vars = {{"REQUEST_METHOD", "HEAD"}};
        if (c.contentType)
            vars["CONTENT_TYPE"] = c.contentType;
        ASSERT_EQ(capture(vars), cgiParseSuccess);
        EXPECT_STREQ(cgiContentType, c.type) << c.contentType;
        EXPECT_STREQ(cgiMultipartBoundary, c.boundary) << c.contentType;
    }

    // A content type longer than its buffer is cut to 1023 bytes, boundary and all.
    std::string longType = "multipart/form-data; boundary=" + std::string(2000, 'b');
    ASSERT_EQ(capture({{"REQUEST_METHOD", "HEAD"}, {"CONTENT_TYPE", longType}}), cgiParseSuccess);
    EXPECT_EQ(std::strlen(cgiMultipartBoundary), 1023u - 30u);
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
