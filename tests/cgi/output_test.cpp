// Cookies read from HTTP_COOKIE, the header lines the writers print, and HTML escaping.
#include <ctime>

#include "tests/cgi/cgi_fixture.h"

using cgitest::strings;

namespace {

struct Cookie {
    explicit Cookie(std::string header) : text(std::move(header)) { cgiCookie = text.data(); }
    ~Cookie() { cgiCookie = cgiEmptyString; }
    std::string text;
};

// A stream that takes the first `room` bytes and refuses every write after,
// unbuffered so that each write reaches it.
struct Sink {
    std::string got;
    size_t room;
};

ssize_t sinkWrite(void* cookie, const char* buf, size_t size)
{
    auto* s = static_cast<Sink*>(cookie);
    const size_t n = std::min(size, s->room - s->got.size());
    s->got.append(buf, n);
    return n > 0 ? static_cast<ssize_t>(n) : -1;
}

// What `write` puts on cgiOut, and its result, when the stream takes `room` bytes.
template <typename F> std::pair<std::string, int> output(F write, size_t room = 100000)
{
    Sink sink{{}, room};
    cgiOut = fopencookie(&sink, "w", cookie_io_functions_t{nullptr, sinkWrite, nullptr, nullptr});
    setvbuf(cgiOut, nullptr, _IONBF, 0);
    const int r = write();
    std::fclose(cgiOut);
    cgiOut = nullptr;
    return {sink.got, r};
}

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

// The string lookup at large is held against a reference by the cookies fuzz target.
TEST(CgiCookies, ReadersFindExactNamesAndCutToTheBuffer)
{
    for (auto [header, space, want, result] :
         {std::tuple{"ab=1; a=1 ;b", 16, "1 ", cgiFormSuccess}, {"A=1", 16, "", cgiFormNotFound},
          {"a=abc", 2, "a", cgiFormTruncated}, {"a=abc", 0, "#", cgiFormTruncated}}) {
        Cookie cookie(header);
        char buf[16] = "#";  // a buffer of no size is left alone
        EXPECT_EQ(cgiCookieString("a", buf, space), result) << header;
        EXPECT_STREQ(buf, want) << header;
    }
    for (auto [header, want, result] :
         {std::tuple<std::string, int, cgiFormResultType>{"n=12x", 12, cgiFormSuccess}, {"n=abc", 0, cgiFormSuccess},
          {"m=1", 7, cgiFormNotFound}, {"n=99999999999", 2147483647, cgiFormSuccess},
          {"n=" + std::string(300, '1'), 7, cgiFormTruncated}}) {
        Cookie cookie(header);
        int v = -1;
        EXPECT_EQ(cgiCookieInteger("n", &v, 7), result) << header;
        EXPECT_EQ(v, want) << header;
    }
    for (auto [header, want] : {std::pair<const char*, std::vector<std::string>>{"", {}}, {"a=1; b=2", {"a", "b"}},
                                {"flag; a=1", {"flag; a"}}, {"a=1;;  =2; c", {"a", ";  ", "c"}}}) {
        Cookie cookie(header);  // a name runs to its "="
        char** names = nullptr;
        ASSERT_EQ(cgiCookies(&names), cgiFormSuccess) << header;
        EXPECT_EQ(strings(names), want) << header;
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

// HTML text and attribute values, and the string forms on a stream that refuses at some point.
TEST(CgiEscape, EscapesAndStopsAtTheFirstFailedWrite)
{
    struct Case { std::string input; bool html; std::string want; };
    const Case cases[] = {
        {std::string("a<b & c>\0<\"", 11), true, std::string("a&lt;b &amp; c&gt;\0&lt;\"", 24)},
        {std::string("<&>\"\0\"", 6), false, std::string("<&>&#34;\0&#34;", 14)},
    };
    for (const Case& c : cases) {
        const int n = static_cast<int>(c.input.size());
        auto escape = [&] { return c.html ? cgiHtmlEscapeData(c.input.data(), n) : cgiValueEscapeData(c.input.data(), n); };
        EXPECT_EQ(output(escape), std::pair(c.want, int(cgiFormSuccess)))
            << c.input;
    }
    for (bool html : {true, false}) {
        const std::string full = html ? "ab&lt;cd\"ef" : "ab<cd&#34;ef";
        for (size_t room : {size_t{0}, size_t{3}, size_t{6}, size_t{1000}}) {
            EXPECT_EQ(output([&] { return html ? cgiHtmlEscape("ab<cd\"ef") : cgiValueEscape("ab<cd\"ef"); }, room),
                      std::pair(full.substr(0, room), int(room < full.size() ? cgiFormIO : cgiFormSuccess)))
                << room;
        }
    }
}
