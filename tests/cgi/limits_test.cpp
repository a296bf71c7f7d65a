// What a hostile request may cost: the limits at their edges, the memory a
// parse takes for bodies built to exhaust it, and a body that stalls.
#include <chrono>
#include <climits>
#include <cstdlib>
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

const std::string multipart = "multipart/form-data; boundary=B", urlEncoded = "application/x-www-form-urlencoded";
constexpr size_t MiB = 1024 * 1024;

// n parts, every tenth a file, then a last one of `tail` bytes.
std::string parts(int n, size_t tail = 0)
{
    std::vector<Part> list;
    for (int i = 0; i < n; ++i)
        list.push_back(i % 10 == 0 ? Part{field("f", "x.bin"), "d"} : Part{field("v"), "1"});
    list.push_back({field("tail"), std::string(tail, 't')});
    return multipartBody("B", list);
}

// This process's high-water mark of resident memory, in KiB.
long peakKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace

TEST_F(CgiTest, LimitsHoldAtTheirEdgesAndMemoryStaysBounded)
{
    // length "": the body's size; readAtMost: how far into the body the parse may read
    struct Case { const char* label; std::string type, body, length; cgiParseResultType result;
                  size_t entries, files; long readAtMost; };
    const std::string over = parts(cgiMaxParts, MiB);
    const long any = LONG_MAX;
    const Case cases[] = {
        {"as many parts as allowed", multipart, parts(cgiMaxParts - 1), "", cgiParseSuccess, cgiMaxParts,
         cgiMaxParts / 10, any},
        {"one part more", multipart, over, "", cgiParseMemory, 0, 0, static_cast<long>(over.size() - MiB)},
        {"a value of the largest size", multipart, parts(0, cgiMaxValueLength), "", cgiParseSuccess, 1, 0, any},
        {"one byte more", multipart, parts(0, cgiMaxValueLength + 1), "", cgiParseMemory, 0, 0, any},
        {"a 64 MiB value is not read to its end", multipart, parts(0, 64 * MiB), "", cgiParseMemory, 0, 0,
         static_cast<long>(63 * MiB)},
        {"files are not values", multipart, multipartBody("B", {{field("f", "big.bin"), std::string(2 * MiB, 'f')}}),
         "", cgiParseSuccess, 1, 1, any},
        {"URL-encoded body of the largest size", urlEncoded, "a=" + std::string(cgiMaxUrlEncodedLength - 2, 'x'), "",
         cgiParseSuccess, 1, 0, any},
        {"one byte more, refused unread", urlEncoded, "a=" + std::string(cgiMaxUrlEncodedLength - 1, 'x'), "",
         cgiParseMemory, 0, 0, 0},
        {"a negative length reads nothing", multipart, parts(0, 10), "-7", cgiParseSuccess, 0, 0, 0},
    };
    for (const Case& c : cases) {
        prepare({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", c.type},
                 {"CONTENT_LENGTH", c.length.empty() ? std::to_string(c.body.size()) : c.length}},
                c.body);
        std::ofstream("/proc/self/clear_refs") << "5";  // the high-water mark restarts from here
        const long before = peakKiB();
        ASSERT_EQ(cgiCaptureAndParse(), c.result) << c.label;
        EXPECT_LT(peakKiB() - before, 8 * 1024) << c.label;
        EXPECT_EQ(std::pair(entries().size(), tmpFileCount()), std::pair(c.entries, c.files)) << c.label;
        EXPECT_LE(std::ftell(cgiIn), c.readAtMost) << c.label;
    }
}

// A client that stops sending: the body ends at the idle limit as if cut there.
TEST_F(CgiTest, StalledBodyEndsLikeACutOne)
{
    setenv("QUIB_READ_IDLE_MS", "100", 1);
    const std::string first = "--B\r\n" + field("a") + "\r\n1\r\n--B\r\n";
    struct Case { std::string type, sent; cgiParseResultType result; size_t entries; };
    for (const Case& c : {Case{multipart, first + field("b") + "\r\n2", cgiParseIO, 0},  // inside a part's body
                          Case{multipart, first + "Content-Dispo", cgiParseSuccess, 1},  // inside a disposition
                          Case{urlEncoded, "a=1&b", cgiParseIO, 0}}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
        prepare({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", c.type}, {"CONTENT_LENGTH", "1000"}});
        cgiIn = fdopen(fds[0], "rb");  // the write end stays open: the client is still there
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(cgiCaptureAndParse(), c.result) << c.sent;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4)) << c.sent;
        EXPECT_EQ(entries().size(), c.entries) << c.sent;
        std::fclose(cgiIn);
        close(fds[1]);
    }
    unsetenv("QUIB_READ_IDLE_MS");
}
