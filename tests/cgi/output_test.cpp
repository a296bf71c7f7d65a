// Cookies read from HTTP_COOKIE; the header lines and the HTML escapes the writers print.
#include <ctime>

#include "tests/cgi/cgi_fixture.h"

namespace {

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

// No program of the tree reads cookies: each reader keeps its main success and failure.
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

// Every writer once, on one stream: headers, HTML text and attribute values (NULs included); then a
// stream that refuses every write fails each escape.
TEST(CgiOutput, WritersPrintTheirExactTextAndReportAFailedWrite)
{
    char* text = nullptr;
    size_t size = 0;
    cgiOut = open_memstream(&text, &size);
    const time_t before = std::time(nullptr);
    cgiHeaderCookieSetString("s", "v", 0, "/", "example.org");
    cgiHeaderCookieSetInteger("i", -42, 86400, "/p", "d");
    const time_t after = std::time(nullptr);
    cgiHeaderStatus(404, "Not Found");
    cgiHeaderLocation("http://x/y?z");
    cgiHeaderContentType("text/html");
    const std::string in("a<b & c>\0\"", 10);
    const std::vector<cgiFormResultType> results{cgiHtmlEscapeData(in.data(), 10), cgiValueEscapeData(in.data(), 10),
                                                 cgiHtmlEscape("<\"")};  // in this order
    EXPECT_EQ(results, std::vector<cgiFormResultType>(3, cgiFormSuccess));
    std::fclose(cgiOut);
    const std::string out(text, size);
    std::free(text);
    bool matched = false;  // the clock may tick between the calls: either second is right
    for (time_t t = before; t <= after && !matched; ++t)
        matched = out == "Set-Cookie: s=v; domain=example.org; expires=" + expiry(t) + "; path=/\r\n" +
                             "Set-Cookie: i=-42; domain=d; expires=" + expiry(t + 86400) + "; path=/p\r\n" +
                             "Status: 404 Not Found\r\n\r\nLocation: http://x/y?z\r\n\r\n" +
                             "Content-type: text/html\r\n\r\n" + std::string("a&lt;b &amp; c&gt;\0\"", 20) +
                             std::string("a<b & c>\0&#34;", 14) + "&lt;\"";
    EXPECT_TRUE(matched) << out;

    cgiOut = std::fopen("/dev/full", "w");
    ASSERT_NE(cgiOut, nullptr);
    setvbuf(cgiOut, nullptr, _IONBF, 0);
    EXPECT_EQ(std::tuple(cgiHtmlEscape("ab"), cgiHtmlEscape("<"), cgiValueEscape("ab"), cgiValueEscape("\"")),
              std::tuple(cgiFormIO, cgiFormIO, cgiFormIO, cgiFormIO));
    std::fclose(cgiOut);
    cgiOut = nullptr;
}
