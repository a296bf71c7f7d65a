#include <tuple>
#include <cstring>
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"

using cgitest::CgiTest;
using cgitest::field;
using cgitest::fileField;
using cgitest::multipartBody;
using cgitest::Part;

namespace {

struct Want {
    std::string attr;
    std::string value;  // for a file: its content
    bool isFile = false;
    std::string fileName = {};
    std::string contentType = {};
};

// Compares what an entry holds in one tuple, so that a mismatch shows it whole.
void expectEntries(const std::vector<cgitest::Entry>& got, const std::vector<Want>& want,
                   const std::string& label)
{
    ASSERT_EQ(got.size(), want.size()) << label;
    for (size_t i = 0; i < want.size(); ++i) {
        const auto& g = got[i];
        const auto& w = want[i];
        // A file's value is its content on disk; in memory it holds nothing.
        EXPECT_EQ(std::tuple(g.attr, g.fileName, g.contentType, g.valueLength, !g.tfileName.empty(),
                             w.isFile ? g.fileData : g.value, w.isFile && !g.value.empty()),
                  std::tuple(w.attr, w.fileName, w.contentType, static_cast<int>(w.value.size()),
                             w.isFile, w.value, false))
            << label << " #" << i;
    }
}

const std::string cd = "Content-Disposition: form-data; name=";

}  // namespace

TEST_F(CgiTest, MultipartPartsBecomeEntries)
{
    struct Case {
        const char* label;
        std::string body;
        std::vector<Want> want;
        std::string contentType = "multipart/form-data; boundary=B";
    };
    const std::string nul("a\0b\0", 4);
    const std::string longName(2000, 'n');
    // Never holds "\r\n", so no delimiter hides inside; 100000 bytes take the
    // in-memory value through many doublings of its buffer.
    const std::string fills[] = {quibtest::pattern(255), quibtest::pattern(256),
                                 quibtest::pattern(100000)};
    const Case cases[] = {
        {"field", multipartBody("B", {{field("a"), "xyz"}}), {{"a", "xyz"}}},
        {"file", multipartBody("B", {{fileField("up", "fw.bin", "image/png"), "\x01\r\n\x02"}}),
         {{"up", "\x01\r\n\x02", true, "fw.bin", "image/png"}}},
        {"empty filename stays in memory", multipartBody("B", {{fileField("f", ""), "abc"}}),
         {{"f", "abc"}}},
        {"empty file", multipartBody("B", {{fileField("f", "e.bin"), ""}}),
         {{"f", "", true, "e.bin"}}},
        {"NUL bytes", multipartBody("B", {{field("n"), nul}}), {{"n", nul}}},
        {"values that outgrow the first buffer",
         multipartBody("B", {{field("a"), fills[0]}, {field("b"), fills[1]}, {field("c"), fills[2]}}),
         {{"a", fills[0]}, {"b", fills[1]}, {"c", fills[2]}}},
        {"partial delimiters pass through",
         multipartBody("AaB03x", {{field("p"), "1\r\n--AaB03\r\n--AaB0y\r\n-\r\n--AaB"}}),
         {{"p", "1\r\n--AaB03\r\n--AaB0y\r\n-\r\n--AaB"}},
         "multipart/form-data; boundary=AaB03x"},
        {"opening delimiter inside a failed match",
         "----x\r\n" + cd + "a\r\n\r\nv\r\n---x--\r\n", {{"a", "v"}},
         "multipart/form-data; boundary=-x"},
        {"preamble and epilogue", "pre -- B\r\n" + multipartBody("B", {{field("a"), "1"}}) + "tail",
         {{"a", "1"}}},
        {"only the closing delimiter", "--B--\r\n", {}},
        {"no closing hyphens", "--B\r\n" + cd + "a\r\n\r\n1\r\n--B\r\n", {{"a", "1"}}},
        {"quoted boundary never matches a bare one", multipartBody("B", {{field("a"), "1"}}), {},
         "multipart/form-data; boundary=\"B\""},
        {"no boundary: two hyphens delimit", "--\r\n" + cd + "a\r\n\r\nv1\r\n----\r\n",
         {{"a", "v1"}}, "multipart/form-data"},
        {"names and parameters in any case",
         "--B\r\ncontent-disposition: Form-Data; NAME=\"a\"; FileName=x.bin\r\n"
         "CONTENT-TYPE: text/plain; charset=utf-8\r\n\r\nd\r\n--B--\r\n",
         {{"a", "d", true, "x.bin", "text/plain"}}},
        {"colons never enter a header value",
         multipartBody("B", {{fileField("f", "C:\\dir\\fw.bin"), "z"}}),
         {{"f", "z", true, "C\\dir\\fw.bin"}}},
        {"other dispositions (and a space before the semicolon) skipped up to their delimiter",
         multipartBody("B", {{"Content-Disposition: form-data ; name=\"x\"\r\n", "skip\r\nme"},
                             {"Content-Disposition: attachment; name=\"x\"\r\n", "--not\r\nheaders"},
                             {"X-No-Disposition: 1\r\n", "q"},
                             {field("a"), "1"}}),
         {{"a", "1"}}},
        {"hyphenated parameter ends the splitting",
         multipartBody("B", {{"Content-Disposition: form-data; creation-date=\"x\"; name=\"a\"\r\n",
                              "v"}}),
         {{"", "v"}}},
        {"repeated names in body order",
         multipartBody("B", {{field("a"), "1"}, {field("b"), "2"}, {field("a"), "3"}}),
         {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
        {"100 KiB header line and overlong name are cut, not fatal",
         multipartBody("B", {{"X-Long: " + std::string(100 * 1024, 'h') + "\r\n" + field(longName),
                              "v"}}),
         {{longName.substr(0, 1023 - 17), "v"}}},
        {"quoted values, spaces around '=', the last name wins, unterminated quotes",
         multipartBody("B", {{"Content-Disposition: \"form-data\" junk; NAME = \"x;y\" rest ; name=z\r\n", "1"},
                             {"Content-Disposition: form-data; other=1; name=\"unterm\r\n", "2"},
                             {"Content-Disposition: form-data; name\r\n", "3"},
                             {"Content-Disposition:   form-data;name=a;filename=b c \r\n", "4"}}),
         {{"z", "1"}, {"unterm", "2"}, {"", "3"}, {"a", "4", true, "b c "}}},
        {"whitespace after each colon is dropped",
         multipartBody("B", {{fileField("f", "n") + "Content-Type: a:  b c \r\n", "v"}}),
         {{"f", "v", true, "n", "ab c "}}},
    };
    for (const Case& c : cases) {
        for (size_t bufferSize : {size_t{0}, size_t{3}}) {
            ASSERT_EQ(postMultipart(c.body, -1, c.contentType, bufferSize), cgiParseSuccess)
                << c.label;
            expectEntries(entries(), c.want, c.label);
            cgiFreeResources();
        }
    }
}

TEST_F(CgiTest, MultipartFailuresAndTheirResults)
{
    struct Case {
        const char* label;
        std::string body;
        std::string length;  // empty: the body's size
        cgiParseResultType result;
        size_t entries;
    };
    const std::string one = "--B\r\n" + cd + "a\r\n\r\n1\r\n";
    const std::string two = one + "--B\r\n" + cd + "\"b\"\r\n\r\n2\r\n--B--\r\n";
    const size_t secondCd = two.find("name=\"b\"");
    const Case cases[] = {
        // The first part's upload must go with the rest when a later part is cut.
        {"cut inside a body", "--B\r\n" + fileField("f", "a.bin") + "\r\nAAAA\r\n--B\r\n" + cd +
         "b\r\n\r\n2", "", cgiParseIO, 0},
        {"ends right after the delimiter", one + "--B", "", cgiParseIO, 0},
        {"opening delimiter then nothing", "--B", "", cgiParseSuccess, 0},
        {"no delimiter at all", "just text", "", cgiParseSuccess, 0},
        {"declared length cuts the second disposition line", two, std::to_string(secondCd),
         cgiParseSuccess, 1},
        {"declared length cuts after it", two, std::to_string(secondCd + 12), cgiParseIO, 0},
        {"declared length cuts between its CR and LF", two,
         std::to_string(two.find("\r\n", secondCd) + 1), cgiParseSuccess, 1},
        {"negative length", two, "-7", cgiParseSuccess, 0},
        {"not a number", two, "abc", cgiParseSuccess, 0},
        {"huge length, complete body", two, "2147483647", cgiParseSuccess, 2},
        {"length beyond int, complete body", two, "99999999999", cgiParseSuccess, 2},
        {"huge length, cut body", two.substr(0, two.size() - 12), "2147483647", cgiParseIO, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(capture({{"REQUEST_METHOD", "POST"},
                           {"CONTENT_TYPE", "multipart/form-data; boundary=B"},
                           {"CONTENT_LENGTH", c.length.empty() ? std::to_string(c.body.size())
                                                               : c.length}},
                          c.body),
                  c.result)
            << c.label;
        EXPECT_EQ(entries().size(), c.entries) << c.label;
        EXPECT_EQ(tmpFileCount(), 0u) << c.label;
        cgiFreeResources();
    }
}

TEST_F(CgiTest, NothingAfterTheClosingDelimiterIsRead)
{
    std::string body = multipartBody("B", {{field("a"), "1"}});
    body.resize(body.size() - 2);  // drop the final CRLF: "--B--" ends the body
    ASSERT_EQ(postMultipart(body + "MORE", static_cast<long>(body.size()) + 4), cgiParseSuccess);
    EXPECT_EQ(std::ftell(cgiIn), static_cast<long>(body.size()));
}

// Whatever point the body is cut at, an entry is there whole or not at all,
// and no temporary file survives.
TEST_F(CgiTest, EveryCutOfTheBodyGivesWholeEntriesOrNone)
{
    const std::vector<Want> full = {{"a", "one"},
                                    {"f", "FF\r\n--C", true, "f.bin", "x/y"},
                                    {"b", "two"},
                                    {"g", "G", true, "g.bin"}};
    std::vector<Part> parts;
    for (const Want& w : full)
        parts.push_back({w.isFile ? fileField(w.attr, w.fileName, w.contentType) : field(w.attr),
                         w.value});
    const std::string body = multipartBody("B", parts);
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        for (bool declareCut : {true, false}) {
            cgiParseResultType r =
                postMultipart(body.substr(0, cut), declareCut ? static_cast<long>(cut)
                                                              : static_cast<long>(body.size()));
            ASSERT_TRUE(r == cgiParseSuccess || r == cgiParseIO) << cut;
            auto got = entries();
            ASSERT_LE(got.size(), full.size()) << cut;
            expectEntries(got, std::vector<Want>(full.begin(), full.begin() + got.size()),
                          "cut " + std::to_string(cut));
            cgiFreeResources();
            ASSERT_EQ(tmpFileCount(), 0u) << cut;
        }
    }
}

// A file system that fills up, in a child process whose file size is limited.
// The exit code carries the parse result and the files found before freeing.
TEST_F(CgiTest, UploadThatDoesNotReachTheDiskWholeFailsAndLeavesNoFile)
{
    struct Case { const char* label; size_t size; long limit; cgiParseResultType result; };
    const Case cases[] = {
        {"fits", 100, 1000, cgiParseSuccess},
        {"fails when the close flushes", 100, 10, cgiParseIO},
        {"fails while writing", 100000, 1000, cgiParseIO},
    };
    for (const Case& c : cases) {
        // The body is put on cgiIn here, before the child's limit would cut it.
        std::string body = multipartBody("B", {{field("a"), "1"},
                                               {fileField("f", "big.bin"), std::string(c.size, 'x')}});
        ASSERT_EQ(postMultipart(body), cgiParseSuccess);
        cgiFreeResources();
        std::rewind(cgiIn);
        const int status = quibtest::runInChild(
            [&] {
                int r = cgiCaptureAndParse();
                size_t files = tmpFileCount();
                cgiFreeResources();
                return r * 16 + static_cast<int>(files < 15 ? files : 15);
            },
            c.limit);
        ASSERT_LT(status, 128) << c.label;
        EXPECT_EQ(status / 16, c.result) << c.label;
        EXPECT_EQ(status % 16, c.result == cgiParseSuccess ? 1 : 0) << c.label;
        EXPECT_EQ(tmpFileCount(), 0u) << c.label;
    }
}
