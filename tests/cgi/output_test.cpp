// Cookies read from HTTP_COOKIE, the header lines the writers print, and HTML escaping.
#include <ctime>

#include "tests/cgi/cgi_fixture.h"

namespace {

// What write puts on cgiOut, and its result.
template <typename F> std::pair<std::string, int> output(F write)
{
    char* text = nullptr;
    size_t size = 0;
    cgiOut = open_memstream(&text, &size);
    const int r = write();
    std::fclose(cgiOut);
    cgiOut = nullptr;
    std::string s(text, size);
    std::free(text);
    return {s, r};
}

// Built without the layer's own day and month tables, so that a wrong name in them shows.
std::string expiry(time_t t)
{
    tm g{};
    gmtime_r(&t, &g);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d-%b-%Y %H:%M:%S GMT", &g);
    return buf;
}

}  // namespace

// No program of the tree reads cookies: each reader keeps its main success and failure; the lookup
// at large is held against a reference by the fuzz target.
TEST(CgiCookies, ReadersFindExactNames)
{
    std::string header = "ab=1; a=12 ;b";
    cgiCookie = header.data();
    char buf[16], none[16];
    int n = -1, missing = -1;
    EXPECT_EQ(std::pair(cgiCookieString("a", buf, sizeof buf), cgiCookieString("A", none, sizeof none)),
              std::pair(cgiFormSuccess, cgiFormNotFound));
    EXPECT_EQ(std::string(buf) + "|" + none, "12 |");
    EXPECT_EQ(std::tuple(cgiCookieInteger("a", &n, 7), cgiCookieInteger("c", &missing, 7), n, missing),
              std::tuple(cgiFormSuccess, cgiFormNotFound, 12, 7));
    char** names = nullptr;
    ASSERT_EQ(cgiCookies(&names), cgiFormSuccess);
    EXPECT_EQ(cgitest::strings(names), (std::vector<std::string>{"ab", "a", "b"}));  // a name runs to its "="
    cgiStringArrayFree(names);
    cgiCookie = cgiEmptyString;
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
        cgiHeaderLocation("http://x/y?z");
        cgiHeaderContentType("text/html");
        return 0;
    }).first;
    bool matched = false;  // the clock may tick between the calls: either second is right
    for (time_t t = before; t <= after && !matched; ++t)
        matched = text == "Set-Cookie: s=v; domain=example.org; expires=" + expiry(t) + "; path=/\r\n" +
                              "Set-Cookie: i=-42; domain=d; expires=" + expiry(t + 86400) + "; path=/p\r\n" +
                              "Status: 404 Not Found\r\n\r\nLocation: http://x/y?z\r\n\r\n" +
                              "Content-type: text/html\r\n\r\n";
    EXPECT_TRUE(matched) << text;
}

// HTML text and attribute values, NULs included; a stream that refuses every write fails each form.
TEST(CgiEscape, EscapesAndReportsAFailedWrite)
{
    const std::string in("a<b & c>\0\"", 10);
    EXPECT_EQ(output([&] { return cgiHtmlEscapeData(in.data(), int(in.size())); }),
              std::pair(std::string("a&lt;b &amp; c&gt;\0\"", 20), int(cgiFormSuccess)));
    EXPECT_EQ(output([&] { return cgiValueEscapeData(in.data(), int(in.size())); }),
              std::pair(std::string("a<b & c>\0&#34;", 14), int(cgiFormSuccess)));
    EXPECT_EQ(output([] { return cgiHtmlEscape("<\""); }), std::pair(std::string("&lt;\""), int(cgiFormSuccess)));
    cgiOut = std::fopen("/dev/full", "w");
    ASSERT_NE(cgiOut, nullptr);
    setvbuf(cgiOut, nullptr, _IONBF, 0);
    EXPECT_EQ(std::tuple(cgiHtmlEscape("ab"), cgiHtmlEscape("<"), cgiValueEscape("ab"), cgiValueEscape("\"")),
              std::tuple(cgiFormIO, cgiFormIO, cgiFormIO, cgiFormIO));
    std::fclose(cgiOut);
    cgiOut = nullptr;
}
