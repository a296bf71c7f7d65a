// Multipart bodies: the block scanner against an oracle that searches the whole body, and the headers
// and failing uploads the oracle cannot judge.
#include <random>
#include <regex>

#include "tests/cgi/cgi_fixture.h"
#include "tests/support/process.h"

using namespace cgitest;

namespace {

// Restores the block size when a test ends, however it ends.
struct ReadSize {
    explicit ReadSize(int n) { cgiMpReadSize = n; }
    ~ReadSize() { cgiMpReadSize = cgiMpBlockSize; }
};

// The parse done the slow, obvious way: the body in one string, each delimiter found by a plain search.
struct Oracle {
    std::string s;
    size_t pos = 0;

    // The next delimiter and the two bytes after it (a pair beginning with '-' stays); out: the bytes before.
    bool delimiter(const std::string& w, std::string* out = nullptr)
    {
        const size_t at = s.find(w, pos), end = at + w.size();
        if (at == std::string::npos || s.size() - end < 2)
            return false;
        if (out)
            *out = s.substr(pos, at - pos);
        pos = end + (s[end] != '-' ? 2 : 0);
        return true;
    }
    // One header line; false when the input ends before the line does (a
    // CR is the end only with a byte after it).
    bool line(std::string& text)
    {
        size_t e = s.find_first_of("\r\n", pos);
        if (e == std::string::npos || (s[e] == '\r' && e + 1 == s.size())) {
            pos = s.size();
            return false;
        }
        text = s.substr(pos, e - pos);
        pos = e + 1;
        if (s[e] == '\r' && s[pos] == '\n')
            ++pos;
        return true;
    }
    // Bodies are built from bytes without ':', so the only header lines that
    // count are the dispositions the generator wrote.
    cgiParseResultType parse(const std::string& boundary, std::vector<Entry>& entries)
    {
        static const std::regex disposition(
            R"re(Content-Disposition: form-data; name="([^"]*)"(; filename="([^"]*)")?)re");
        const std::string w = "\r\n--" + boundary;
        if (!delimiter(w.substr(2)))
            return cgiParseSuccess;
        for (;;) {
            if (s.size() - pos < 2 || s.compare(pos, 2, "--") == 0)
                return cgiParseSuccess;
            std::smatch m;
            std::string text, name, fileName, data;
            bool isForm = false;
            while (line(text) && !text.empty())  // only the blank line ends the headers
                if (std::regex_match(text, m, disposition))
                    isForm = true, name = m[1], fileName = m[3];
            if (!isForm) {
                if (!delimiter(w))
                    return cgiParseSuccess;
                continue;
            }
            if (!delimiter(w, &data)) {
                entries.clear();  // a failed parse keeps nothing
                return cgiParseIO;
            }
            entries.push_back(fileName.empty() ? value(name, data) : upload(name, data, fileName));
        }
    }
};

}  // namespace

// Bodies from the boundary's own bytes, CR, LF, NUL and hyphens, with real delimiters and parts
// among them (some hand-made, most random, a quarter cut short), parsed at many read sizes and
// compared with the oracle: result, entries, values, file bytes.
TEST_F(CgiTest, MultipartScanAgreesWithAPlainSearch)
{
    const std::string cd = "Content-Disposition: form-data; name=", part = cd + "\"a\"\r\n\r\n";
    const std::string dashes200(200, '-');
    std::vector<std::pair<std::string, std::string>> bodies = {  // boundary, body
        {"AaB03x", "--A-AaB03x--AaB0--AaB03x\r\n" + part + "v\r\n--AaB03x--\r\n"},
        {"a-b", "--a---b\r\n--a-b\r\n" + part + "v\r\n--a-b--\r\n"},
        {"---x", "-----x\r\n" + part + "\r\n--\r\n---\r\n----\r\n---\r\n-----\r\n--x\r\n-\r\n-----x--\r\n"},
        {"-x", "---x\r\n" + part + "1\r\n--\r\n---x\r\n" + part + "2\r\n---x--"},
        {"-x", "----x\r\n" + part + "v\r\n---x--\r\n"},
        {dashes200, "-" + dashes200 + "\r\n--" + dashes200 + "\r\n" + part + "-" + dashes200 + "\r\n--" +
                        dashes200 + "--"},
    };
    const size_t handMade = bodies.size();
    std::mt19937 rng(12);
    for (const std::string& b : std::vector<std::string>{"AaB03x", "a-b", "-", "--x", "zz", "", std::string(70, '-')}) {
        const std::string alphabet = b + std::string("\r\n-\0", 4);
        auto noise = [&](int most) {
            std::string s(rng() % (most + 1), ' ');
            for (char& ch : s)
                ch = alphabet[rng() % alphabet.size()];
            return s;
        };
        for (int round = 0; round < 60; ++round) {
            std::string body = noise(12) + "--" + b + "\r\n";
            for (int p = 0, parts = 1 + rng() % 4; p < parts; ++p) {
                std::string name = "f" + std::to_string(p);
                body += cd + "\"" + name + "\"" + (rng() % 2 ? "; filename=\"" + name + ".bin\"" : "") +
                        "\r\n\r\n" + noise(90) + "\r\n--" + b + (p + 1 < parts ? "\r\n" : "--\r\n");
            }
            body += noise(5);
            if (rng() % 4 == 0)
                body.resize(rng() % body.size());
            bodies.emplace_back(b, body);
        }
    }
    for (size_t i = 0; i < bodies.size(); ++i) {
        const auto& [b, body] = bodies[i];
        Oracle oracle{body};
        std::vector<Entry> want;
        const cgiParseResultType result = oracle.parse(b, want);
        // The body ends with the input, before the declared length, or at it with a closing
        // delimiter behind that must never be read.
        const std::string sent = body + (i % 3 == 2 ? "\r\n--" + b + "--\r\n" : "");
        const std::string length = std::to_string(body.size() + (i % 3 == 1 ? 50 : 0));
        std::vector<int> sizes = {1, 7, 1023, 65536};
        for (int n = 2; i < handMade && n <= static_cast<int>(b.size()) + 6; ++n)
            sizes.push_back(n);  // the delimiter straddles every possible read
        for (int n : sizes) {
            ReadSize rs(n);
            ASSERT_EQ(post(sent, length, "multipart/form-data; boundary=" + b), result)
                << "body " << i << " reads of " << n;
            ASSERT_EQ(entries(), want) << "body " << i << " reads of " << n;
        }
    }
}

// Every case is parsed twice, the second time a byte per read, so that header lines straddle reads.
TEST_F(CgiTest, MultipartHeadersTheOracleDoesNotJudge)
{
    struct Case { const char* label; std::string body; std::vector<Entry> want; };
    const std::string longName(2000, 'n');
    const Case cases[] = {
        {"names and parameters in any case; only the first colon ends the name",
         "--B\r\ncontent-disposition: Form-Data; NAME=\"a\"; FileName=\"C:\\fw 10:30.bin\"\r\n"
         "CONTENT-TYPE: text/plain; charset=utf-8\r\n\r\nd\r\n--B--\r\n",
         {upload("a", "d", "C:\\fw 10:30.bin", "text/plain")}},
        {"an empty value is a header line of its own: only the blank line ends the headers",
         multipartBody("B", {{field("a") + "Content-Type: \r\n", "abc"}, {"Content-Disposition: \r\n", "x"},
                             {field("b"), "2"}}),
         {value("a", "abc"), value("b", "2")}},
        {"empty filename stays in memory",
         multipartBody("B", {{"Content-Disposition: form-data; name=f; filename=\"\"\r\n", "abc"}}),
         {value("f", "abc")}},
        {"other dispositions (and a space before the semicolon) skipped up to their delimiter",
         multipartBody("B", {{"Content-Disposition: form-data ; name=\"x\"\r\n", "skip\r\nme"},
                             {"Content-Disposition: attachment; name=\"x\"\r\n", "--not\r\nheaders"},
                             {"X-No-Disposition: 1\r\n", "q"},
                             {field("a"), "1"}}),
         {value("a", "1")}},
        {"hyphenated parameter ends the splitting",
         multipartBody("B", {{"Content-Disposition: form-data; creation-date=\"x\"; name=\"a\"\r\n", "v"}}),
         {value("", "v")}},
        {"100 KiB header line and overlong name are cut, not fatal",
         multipartBody("B", {{"X-Long: " + std::string(100 * 1024, 'h') + "\r\n" + field(longName), "v"}}),
         {value(longName.substr(0, 1023 - 17), "v")}},
        {"quoted values, spaces around '=', the last name wins, unterminated quotes",
         multipartBody("B", {{"Content-Disposition: \"form-data\" junk; NAME = \"x;y\" rest ; name=z\r\n", "1"},
                             {"Content-Disposition: form-data; other=1; name=\"unterm\r\n", "2"},
                             {"Content-Disposition: form-data; name\r\n", "3"},
                             {"Content-Disposition:   form-data;name=a;filename=b c \r\n", "4"}}),
         {value("z", "1"), value("unterm", "2"), value("", "3"), upload("a", "4", "b c ")}},
    };
    for (const Case& c : cases) {
        for (int n : {static_cast<int>(cgiMpBlockSize), 1}) {
            ReadSize rs(n);
            ASSERT_EQ(post(c.body), cgiParseSuccess) << c.label;
            EXPECT_EQ(entries(), c.want) << c.label;
        }
    }
    // "--B--" ends the body: what follows is never read.
    const std::string body = multipartBody("B", {{field("a"), "1"}});
    ASSERT_EQ(post(body.substr(0, body.size() - 2) + "MORE"), cgiParseSuccess);
    EXPECT_EQ(std::ftell(cgiIn), static_cast<long>(body.size() - 2));
}

// A file system that fills up, in a child whose file size is limited; the
// exit code carries the parse result and the files found before freeing.
TEST_F(CgiTest, UploadThatDoesNotReachTheDiskWholeFailsAndLeavesNoFile)
{
    struct Case { const char* label; size_t size; long limit; cgiParseResultType result; };
    for (const Case& c : {Case{"fits", 100, 1000, cgiParseSuccess}, {"fails when the close flushes", 100, 10, cgiParseIO},
                          {"fails while writing", 100000, 1000, cgiParseIO}}) {
        // The body goes on cgiIn here, before the child's limit could cut it.
        prepare({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=B"},
                 {"CONTENT_LENGTH", "99999999"}},
                multipartBody("B", {{field("a"), "1"}, {field("f", "big.bin"), std::string(c.size, 'x')}}));
        const int status = quibtest::runInChild(
            [&] {
                const int r = cgiCaptureAndParse(), files = static_cast<int>(std::min<size_t>(tmpFileCount(), 15));
                cgiFreeResources();
                return r * 16 + files;
            },
            c.limit);
        EXPECT_EQ(status, c.result * 16 + (c.result == cgiParseSuccess ? 1 : 0)) << c.label;
        EXPECT_EQ(tmpFileCount(), 0u) << c.label;
    }
}
