// The request capture file: written and read back whole, and every cut, forged length or bad file refused cleanly.
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"

using namespace cgitest;

namespace {

// Where the records of a capture begin and end, walked without the reader under test: 21
// environment strings and the content length, then per entry four strings, valueLength, the
// file flag and a file's bytes; all numbers big-endian 32-bit.
struct Layout {
    struct Entry { size_t start, attrEnd, valueLengthAt, recordsEnd, contentEnd; };
    std::vector<size_t> envStrings;
    size_t envEnd = 0;
    std::vector<Entry> entries;

    explicit Layout(const std::string& d)
    {
        auto be32 = [&](size_t at) {
            size_t v = 0;
            for (size_t i = at; i < at + 4; ++i)
                v = v << 8 | static_cast<uint8_t>(d[i]);
            return v;
        };
        size_t p = 0;
        auto string = [&] { p += 4 + be32(p); };
        for (int i = 0; i < 21; ++i, string())
            envStrings.push_back(p);
        envEnd = p += 4;
        while (p < d.size()) {
            Entry e{p, 0, 0, 0, 0};
            string();
            e.attrEnd = p;
            string(), string(), string();
            e.valueLengthAt = p;
            e.recordsEnd = p + 8;
            p = e.contentEnd = e.recordsEnd + (be32(p + 4) ? be32(p) : 0);
            entries.push_back(e);
        }
    }
};

}  // namespace

TEST_F(CgiTest, CaptureReadsBackWholeAndRefusesCutForgedAndBadFiles)
{
    const std::string body = multipartBody("B", {{field("a"), "1"}, {field("nul"), std::string("x\0y", 3)},
                                                 {field("f", "one.bin", "application/x-one"), "abc"},
                                                 {field("e", "empty.bin"), ""},
                                                 {field("f", "two.bin"), "second\r\nfile"}, {field(""), ""}});
    ASSERT_EQ(capture({{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=B"},
                       {"CONTENT_LENGTH", std::to_string(body.size())}, {"HTTP_COOKIE", "c=1"},
                       {"QUERY_STRING", "url=../index.html"}},
                      body),
              cgiParseSuccess);
    const std::vector<Entry> original = entries();
    const std::string path = root.host("/capture.quib");
    ASSERT_EQ(cgiWriteEnvironment(path.c_str()), cgiEnvironmentSuccess);
    const std::string data = root.read("/capture.quib");

    // Every cut: its result, a prefix of whole entries or nothing, and no temporary file.
    const Layout l(data);
    ASSERT_EQ(l.entries.size(), original.size());
    ASSERT_EQ(l.entries.back().contentEnd, data.size());
    const std::string other = root.host("/other.quib");
    for (size_t n = 0; n <= data.size(); ++n) {
        cgiEnvironmentResultType want = n < l.envEnd ? cgiEnvironmentIO : cgiEnvironmentSuccess;
        size_t complete = 0;
        for (const auto& e : l.entries) {
            if (want != cgiEnvironmentSuccess || n >= e.contentEnd) {
                complete += want == cgiEnvironmentSuccess;
                continue;
            }
            want = n >= e.recordsEnd ? cgiEnvironmentIO : n >= e.attrEnd ? cgiEnvironmentMemory : want;
            break;
        }
        root.write("/other.quib", data.substr(0, n));
        ASSERT_EQ(cgiReadEnvironment(other.c_str()), want) << "cut at " << n;
        const bool ok = want == cgiEnvironmentSuccess;
        ASSERT_EQ(entries(), ok ? std::vector<Entry>(original.begin(), original.begin() + complete) : std::vector<Entry>{})
            << "cut at " << n;
        EXPECT_EQ(cgiRestored, ok ? 1 : 0) << "cut at " << n;
        for (char** text : cgiEnvironmentTexts)
            ASSERT_NE(*text, nullptr);
        EXPECT_TRUE(!ok || std::string(cgiQueryString) + cgiCookie == "url=../index.htmlc=1") << "cut at " << n;
        cgiFreeResources();
        ASSERT_EQ(tmpFileCount(), 0u) << "cut at " << n;
    }

    const auto& file = l.entries[2];  // "f", 3 bytes
    struct Case { const char* label; std::string content; cgiEnvironmentResultType result; };
    auto forged = [&](size_t at, uint32_t v) { return std::string(data).replace(at, 4, quibtest::be32(v)); };
    const Case cases[] = {
        {"magic length", forged(0, 0x7fffffff), cgiEnvironmentIO},
        {"environment string", forged(l.envStrings[9], 0x7ffffff0), cgiEnvironmentIO},
        {"entry value", forged(file.attrEnd, 0x7fffffff), cgiEnvironmentMemory},
        {"negative entry value", forged(file.attrEnd, 0x80000000), cgiEnvironmentMemory},
        {"file content", forged(file.valueLengthAt, 0x7fffffff), cgiEnvironmentIO},
        {"attr of the next entry", forged(l.entries[3].start, 0x40000000), cgiEnvironmentSuccess},
        {"other magic", data.substr(0, 4) + "QUIB1.0" + data.substr(11), cgiEnvironmentWrongVersion},
        {"magic with more behind", std::string("\0\0\0\x08QUIB2.0!", 12) + data.substr(11), cgiEnvironmentWrongVersion},
    };
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(tmpFileCount(), 3u) << "a second replay frees the first";
    for (const Case& c : cases) {
        ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);  // a failure frees it too
        root.write("/other.quib", c.content);
        EXPECT_EQ(cgiReadEnvironment(other.c_str()), c.result) << c.label;
        EXPECT_TRUE(c.result == cgiEnvironmentSuccess || (cgiFormEntryFirst == nullptr && tmpFileCount() == 0)) << c.label;
    }
    EXPECT_EQ(cgiReadEnvironment((root.path() + "/missing.quib").c_str()), cgiEnvironmentIO);

    // A field claiming more bytes than its value holds, or fewer than none, is cut to what it holds.
    for (uint32_t claimed : {1000u, 0xFFFFFFFFu}) {
        root.write("/other.quib", forged(l.entries[0].valueLengthAt, claimed));
        ASSERT_EQ(cgiReadEnvironment(other.c_str()), cgiEnvironmentSuccess);
        EXPECT_EQ(cgiFormEntryFindFirst("a")->valueLength, 1) << claimed;
    }

    // Failed writes leave no capture: no directory, a full file system, an
    // upload shorter than its entry says.
    const std::string out = root.host("/out.quib");
    EXPECT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiWriteEnvironment((root.path() + "/no/such/dir/c.quib").c_str()), cgiEnvironmentIO);
    EXPECT_EQ(quibtest::runInChild([&] { return int(cgiWriteEnvironment(out.c_str())); }, 100), cgiEnvironmentIO);
    EXPECT_FALSE(root.exists("/out.quib"));
    ASSERT_EQ(truncate(cgiFormEntryFindFirst("f")->tfileName, 1), 0);
    EXPECT_EQ(cgiWriteEnvironment(out.c_str()), cgiEnvironmentIO);
    EXPECT_FALSE(root.exists("/out.quib"));
}
