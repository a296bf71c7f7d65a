#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"

using cgitest::CgiTest;
using cgitest::field;
using cgitest::fileField;
using cgitest::multipartBody;

namespace {

int be32(const std::string& d, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(d[at + i]);
    return static_cast<int>(v);
}

// Where the records of a capture file begin and end, walked independently of
// the reader under test.
struct Layout {
    struct Entry { size_t start, attrEnd, recordsEnd, contentEnd, valueLengthAt; };
    std::vector<size_t> envStrings;  // offset of each environment string record
    size_t envEnd = 0;
    std::vector<Entry> entries;
};

Layout layout(const std::string& d)
{
    Layout l;
    size_t p = 0;
    auto skipString = [&] {
        size_t at = p;
        p += 4 + static_cast<size_t>(be32(d, p));
        return at;
    };
    for (int i = 0; i < 21; ++i)
        l.envStrings.push_back(skipString());
    p += 4;
    l.envEnd = p;
    while (p < d.size()) {
        Layout::Entry e {};
        e.start = p;
        skipString();
        e.attrEnd = p;
        skipString();
        skipString();
        skipString();
        e.valueLengthAt = p;
        int valueLength = be32(d, p);
        int flag = be32(d, p + 4);
        p += 8;
        e.recordsEnd = p;
        if (flag)
            p += static_cast<size_t>(valueLength);
        e.contentEnd = p;
        l.entries.push_back(e);
    }
    return l;
}

class Capture : public CgiTest {
protected:
    void SetUp() override
    {
        body = multipartBody("B", {{field("a"), "1"},
                                   {field("nul"), std::string("x\0y", 3)},
                                   {fileField("f", "one.bin", "application/x-one"), "abc"},
                                   {fileField("e", "empty.bin"), ""},
                                   {fileField("f", "two.bin"), "second\r\nfile"},
                                   {field(""), ""}});
        ASSERT_EQ(capture({{"REQUEST_METHOD", "POST"},
                           {"CONTENT_TYPE", "multipart/form-data; boundary=B"},
                           {"CONTENT_LENGTH", std::to_string(body.size())},
                           {"HTTP_COOKIE", "c=1"},
                           {"QUERY_STRING", "url=../index.html"}},
                          body),
                  cgiParseSuccess);
        original = entries();
        path = root.host("/capture.quib");
        ASSERT_EQ(cgiWriteEnvironment(path.c_str()), cgiEnvironmentSuccess);
        data = root.read("/capture.quib");
    }

    std::string body;
    std::vector<cgitest::Entry> original;
    std::string path;
    std::string data;
};

}  // namespace

TEST_F(Capture, EveryCutGivesItsResultAndLeavesNothing)
{
    const Layout l = layout(data);
    ASSERT_EQ(l.entries.size(), original.size());
    ASSERT_EQ(l.entries.back().contentEnd, data.size());
    const std::string cut = root.host("/cut.quib");
    for (size_t n = 0; n <= data.size(); ++n) {
        cgiEnvironmentResultType want = cgiEnvironmentIO;
        size_t complete = 0;
        if (n >= l.envEnd) {
            want = cgiEnvironmentSuccess;
            for (const auto& e : l.entries) {
                if (n >= e.contentEnd) {
                    ++complete;
                } else {
                    if (n >= e.recordsEnd)
                        want = cgiEnvironmentIO;
                    else if (n >= e.attrEnd)
                        want = cgiEnvironmentMemory;
                    break;
                }
            }
        }
        root.write("/cut.quib", data.substr(0, n));
        ASSERT_EQ(cgiReadEnvironment(cut.c_str()), want) << "cut at " << n;
        if (want == cgiEnvironmentSuccess) {
            EXPECT_EQ(entries().size(), complete) << n;
        } else {
            EXPECT_EQ(cgiFormEntryFirst, nullptr) << n;
            EXPECT_EQ(cgiRestored, 0) << n;
            for (char** text : cgiEnvironmentTexts)
                ASSERT_NE(*text, nullptr);
        }
        cgiFreeResources();
        ASSERT_EQ(tmpFileCount(), 0u) << "cut at " << n;
    }
}

TEST_F(Capture, ForgedLengthsReadAsCutFiles)
{
    const Layout l = layout(data);
    const auto& file = l.entries[2];  // "f", 3 bytes
    struct Case { const char* label; size_t at; uint32_t value; cgiEnvironmentResultType result; };
    const Case cases[] = {
        {"magic", 0, 0x7fffffff, cgiEnvironmentIO},
        {"environment string", l.envStrings[9], 0x7ffffff0, cgiEnvironmentIO},
        {"negative environment string", l.envStrings[9], 0xffffffff, cgiEnvironmentIO},
        {"entry value", file.attrEnd, 0x7fffffff, cgiEnvironmentMemory},
        {"negative entry value", file.attrEnd, 0x80000000, cgiEnvironmentMemory},
        {"file content", file.valueLengthAt, 0x7fffffff, cgiEnvironmentIO},
        {"negative file content", file.valueLengthAt, 0xfffffffd, cgiEnvironmentIO},
        {"attr of the next entry", l.entries[3].start, 0x40000000, cgiEnvironmentSuccess},
    };
    const std::string forged = root.host("/forged.quib");
    for (const Case& c : cases) {
        std::string d = data;
        d.replace(c.at, 4, quibtest::be32(c.value));
        root.write("/forged.quib", d);
        EXPECT_EQ(cgiReadEnvironment(forged.c_str()), c.result) << c.label;
        cgiFreeResources();
        EXPECT_EQ(tmpFileCount(), 0u) << c.label;
    }

    // A field claiming more bytes than its value holds is cut to what it holds.
    std::string d = data;
    d.replace(l.entries[0].valueLengthAt, 4, quibtest::be32(1000));
    root.write("/forged.quib", d);
    ASSERT_EQ(cgiReadEnvironment(forged.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiFormEntryFindFirst("a")->valueLength, 1);
}

TEST_F(Capture, BadFilesAndFailedWrites)
{
    // The whole replay is compared end to end (form-echo); here: a second
    // replay frees the first, and every failure after a success frees it too.
    ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(cgiRestored, 1);
    EXPECT_EQ(entries().size(), original.size());
    EXPECT_EQ(cgiFormEntryFindFirst("nul")->valueLength, 3);
    EXPECT_EQ(tmpFileCount(), 3u);

    const std::string other = root.host("/other.quib");
    struct Case { const char* label; std::string content; cgiEnvironmentResultType result; };
    const Case cases[] = {
        {"empty", "", cgiEnvironmentIO},
        {"other magic", data.substr(0, 4) + "QUIB1.0" + data.substr(11), cgiEnvironmentWrongVersion},
        {"magic with more behind", std::string("\0\0\0\x08QUIB2.0!", 12) + data.substr(11),
         cgiEnvironmentWrongVersion},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
        root.write("/other.quib", c.content);
        EXPECT_EQ(cgiReadEnvironment(other.c_str()), c.result) << c.label;
        EXPECT_EQ(cgiFormEntryFirst, nullptr) << c.label;  // the earlier request is gone anyway
        EXPECT_EQ(tmpFileCount(), 0u) << c.label;
    }
    EXPECT_EQ(cgiReadEnvironment((root.path() + "/missing.quib").c_str()), cgiEnvironmentIO);

    ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    const std::string nowhere = root.path() + "/no/such/dir/c.quib";
    EXPECT_EQ(cgiWriteEnvironment(nowhere.c_str()), cgiEnvironmentIO);

    // An upload no longer as long as its entry says would make a capture
    // that reads back wrong: refused, and no capture file is left.
    ASSERT_EQ(truncate(cgiFormEntryFindFirst("f")->tfileName, 1), 0);
    EXPECT_EQ(cgiWriteEnvironment(other.c_str()), cgiEnvironmentIO);
    EXPECT_FALSE(root.exists("/other.quib"));

    // A full file system while writing: the partial capture is removed.
    ASSERT_EQ(cgiReadEnvironment(path.c_str()), cgiEnvironmentSuccess);
    EXPECT_EQ(quibtest::runInChild([&] { return int(cgiWriteEnvironment(other.c_str())); }, 100),
              cgiEnvironmentIO);
    EXPECT_FALSE(root.exists("/other.quib"));
}
