// HTML and attribute value escaping, and how it stops on a failing stream.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cgi/cgi_internal.h"

namespace {

// A stream that accepts the first `room` bytes and then refuses every write,
// unbuffered so that each write reaches it.
struct LimitedSink { std::string got; size_t room; };

ssize_t sinkWrite(void* cookie, const char* buf, size_t size)
{
    auto* s = static_cast<LimitedSink*>(cookie);
    if (s->got.size() >= s->room)
        return -1;
    size_t n = std::min(size, s->room - s->got.size());
    s->got.append(buf, n);
    return static_cast<ssize_t>(n);
}

FILE* limitedStream(LimitedSink* sink)
{
    cookie_io_functions_t io {};
    io.write = sinkWrite;
    FILE* f = fopencookie(sink, "w", io);
    setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

}  // namespace

TEST(CgiEscape, HtmlAndAttributeValueEscaping)
{
    struct Case { std::string input; bool html; std::string want; };
    const Case cases[] = {
        {"a<b & c>d", true, "a&lt;b &amp; c&gt;d"},
        {"&lt; \"q\"", true, "&amp;lt; \"q\""},
        {std::string("x\0<y", 4), true, std::string("x\0&lt;y", 7)},
        {"\"x\"", false, "&#34;x&#34;"},
        {"a<b&c>", false, "a<b&c>"},
        {std::string("\0\"", 2), false, std::string("\0&#34;", 6)},
    };
    for (const Case& c : cases) {
        LimitedSink sink{{}, 1000};
        cgiOut = limitedStream(&sink);
        cgiFormResultType r = c.html ? cgiHtmlEscapeData(c.input.data(), static_cast<int>(c.input.size()))
                                     : cgiValueEscapeData(c.input.data(), static_cast<int>(c.input.size()));
        std::fclose(cgiOut);
        cgiOut = nullptr;
        EXPECT_EQ(r, cgiFormSuccess);
        EXPECT_EQ(sink.got, c.want) << c.input;
    }
}

// The string forms, on a stream that takes everything or refuses at some point.
TEST(CgiEscape, StopsAtTheFirstFailedWrite)
{
    for (bool html : {true, false}) {
        const std::string full = html ? "ab&lt;cd\"ef" : "ab<cd&#34;ef";
        for (size_t room : {size_t{0}, size_t{3}, size_t{6}, size_t{1000}}) {
            LimitedSink sink{{}, room};
            cgiOut = limitedStream(&sink);
            cgiFormResultType r = html ? cgiHtmlEscape("ab<cd\"ef") : cgiValueEscape("ab<cd\"ef");
            std::fclose(cgiOut);
            cgiOut = nullptr;
            EXPECT_EQ(r, room < full.size() ? cgiFormIO : cgiFormSuccess) << room;
            EXPECT_EQ(sink.got, full.substr(0, room)) << room;
        }
    }
}
