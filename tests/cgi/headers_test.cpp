// Cookies read from HTTP_COOKIE, and the header lines the writers print.
#include <ctime>

#include "tests/cgi/cgi_fixture.h"

using cgitest::strings;

namespace {

// What the writers called by `write` put on cgiOut.
template <typename F> std::string output(F write)
{
    char* text = nullptr;
    size_t size = 0;
    cgiOut = open_memstream(&text, &size);
    write();
    std::fclose(cgiOut);
    cgiOut = nullptr;
    std::string s(text, size);
    std::free(text);
    return s;
}

struct Cookie {
    explicit Cookie(std::string header) : text(std::move(header)) { cgiCookie = text.data(); }
    ~Cookie() { cgiCookie = cgiEmptyString; }
    std::string text;
};

// Built without the layer's own day and month tables, so that a wrong name in them shows.
std::string expiry(time_t t)
{
    tm g {};
    gmtime_r(&t, &g);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d-%b-%Y %H:%M:%S GMT", &g);
    return buf;
}

}  // namespace

TEST(CgiCookies, StringReaderFindsExactNamesAndCutsToTheBuffer)
{
    struct Case {
        const char* header;
        const char* name;
        int space;
        const char* want;
        cgiFormResultType result;
    };
    const Case cases[] = {
        {"", "a", 16, "", cgiFormNotFound},
        {"x=abcdef", "x", 0, "#", cgiFormTruncated},  // a buffer of no size is left alone
        {"a=1; b=2", "b", 16, "2", cgiFormSuccess},
        {"a=1;b=2", "b", 16, "2", cgiFormSuccess},
        {"ab=1", "a", 16, "", cgiFormNotFound},
        {"a=1", "A", 16, "", cgiFormNotFound},
        {"a=1 ; b=2", "a", 16, "1 ", cgiFormSuccess},
        {"a=; b=2", "a", 16, "", cgiFormSuccess},
        {"x=abcdef", "x", 3, "ab", cgiFormTruncated},
        {"x=abcdef", "x", 1, "", cgiFormTruncated},
        {"a", "a", 16, "", cgiFormNotFound},
        {"a=1;  \t", "b", 16, "", cgiFormNotFound},
        {"a=x=y; b", "a", 16, "x=y", cgiFormSuccess},
    };
    for (const Case& c : cases) {
        Cookie cookie(c.header);
        char buf[16] = "#";
        EXPECT_EQ(cgiCookieString(c.name, buf, c.space), c.result) << c.header << " " << c.name;
        EXPECT_STREQ(buf, c.want) << c.header << " " << c.name;
    }
}

TEST(CgiCookies, IntegerReaderAndNameList)
{
    for (auto [header, want, result] :
         {std::tuple<std::string, int, cgiFormResultType>{"n=12x", 12, cgiFormSuccess}, {"n=abc", 0, cgiFormSuccess},
          {"m=1", 7, cgiFormNotFound}, {"n=99999999999", 2147483647, cgiFormSuccess},
          {"n=" + std::string(300, '1'), 7, cgiFormTruncated}}) {
        Cookie cookie(header);
        int v = -1;
        EXPECT_EQ(cgiCookieInteger("n", &v, 7), result) << header;
        EXPECT_EQ(v, want) << header;
    }

    struct ListCase { const char* header; std::vector<std::string> want; };
    const ListCase lists[] = {
        {"", {}},
        {"a=1; b=2", {"a", "b"}},
        {"flag; a=1", {"flag; a"}},
        {"a=1; b", {"a", "b"}},
        {"a=1;;  =2; c=3", {"a", ";  ", "c"}},  // a name runs to its "="
    };
    for (const ListCase& c : lists) {
        Cookie cookie(c.header);
        char** names = nullptr;
        ASSERT_EQ(cgiCookies(&names), cgiFormSuccess) << c.header;
        ASSERT_NE(names, nullptr);
        EXPECT_EQ(strings(names), c.want) << c.header;
        cgiStringArrayFree(names);
    }
}

TEST(CgiHeaders, WritersPrintTheirExactLines)
{
    time_t before = 0, after = 0;
    const std::string text = output([&] {
        before = std::time(nullptr);
        cgiHeaderCookieSetString("s", "v", 0, "/", "example.org");
        cgiHeaderCookieSetInteger("i", -42, 86400, "/p", "d");
        after = std::time(nullptr);
        cgiHeaderStatus(404, "Not Found");
    });

    // The clock may tick between the calls: either second is right.
    bool matched = false;
    for (time_t t = before; t <= after && !matched; ++t)
        matched = text == "Set-Cookie: s=v; domain=example.org; expires=" + expiry(t) +
                              "; path=/\r\n"
                              "Set-Cookie: i=-42; domain=d; expires=" + expiry(t + 86400) +
                              "; path=/p\r\n"
                              "Status: 404 Not Found\r\n\r\n";
    EXPECT_TRUE(matched) << text;

    EXPECT_EQ(output([] {
                  cgiHeaderLocation("http://x/y?z");
                  cgiHeaderContentType("text/html");
              }),
              "Location: http://x/y?z\r\n\r\nContent-type: text/html\r\n\r\n");
}
