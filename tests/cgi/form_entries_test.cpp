#include <cstring>
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"

using cgitest::CgiTest;
using cgitest::field;
using cgitest::fileField;
using cgitest::multipartBody;

namespace {

class FormEntries : public CgiTest {
protected:
    void SetUp() override
    {
        const std::string body = multipartBody(
            "B", {{field("a"), "1"},
                  {field("b"), "2"},
                  {field("a"), "3"},
                  {field("crlf"), "l1\r\nl2"},
                  {field("breaks"), "x\r\n\r\ny\n\n\rz\rw"},
                  {field("only"), "\r\n\r"},
                  {field("ten"), "0123456789"},
                  {field("abn"), "ab\n"},
                  {field("empty"), ""},
                  {field("nul"), std::string("ab\0cd", 5)},
                  {fileField("f", "fw.bin", "application/octet-stream"), "0123456789"},
                  {fileField("zero", "z.bin"), ""},
                  {fileField("n127", std::string(127, 'n')), "x"},
                  {fileField("n128", std::string(128, 'm')), "x"}});
        ASSERT_EQ(postMultipart(body), cgiParseSuccess);
    }
};

}  // namespace

TEST_F(FormEntries, CursorFindsEveryEntryOfANameInOrder)
{
    cgiFormEntry* e = cgiFormEntryFindFirst("a");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->value, "1");
    e = cgiFormEntryFindNext();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->value, "3");
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
    EXPECT_EQ(cgiFormEntryFindFirst("A"), nullptr);
    EXPECT_EQ(cgiFormEntryFindFirst("missing"), nullptr);

    // Freeing the list leaves no cursor pointing into it.
    cgiFormEntryFindFirst("a");
    cgiFreeResources();
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
}

TEST_F(FormEntries, StringAccessorsNormaliseLineBreaksAndCutToTheBuffer)
{
    struct Case {
        const char* name;
        int size;
        int newlines;
        const char* want;
        cgiFormResultType result;
    };
    const Case cases[] = {
        {"a", 64, 1, "1", cgiFormSuccess},
        {"crlf", 64, 1, "l1\nl2", cgiFormSuccess},
        {"breaks", 64, 1, "x\n\ny\n\nz\nw", cgiFormSuccess},
        {"breaks", 64, 0, "xyzw", cgiFormSuccess},
        {"only", 64, 1, "\n\n", cgiFormSuccess},
        {"only", 64, 0, "", cgiFormEmpty},
        {"ten", 5, 1, "0123", cgiFormTruncated},
        {"ten", 1, 1, "", cgiFormTruncated},
        {"abn", 3, 1, "ab", cgiFormTruncated},
        {"abn", 4, 1, "ab\n", cgiFormSuccess},
        {"empty", 8, 1, "", cgiFormEmpty},
        {"f", 8, 1, "", cgiFormEmpty},
        {"nul", 8, 1, "ab", cgiFormSuccess},
        {"missing", 8, 1, "", cgiFormNotFound},
    };
    for (const Case& c : cases) {
        char buf[64];
        std::memset(buf, '#', sizeof buf);
        cgiFormResultType r = c.newlines ? cgiFormString(c.name, buf, c.size)
                                         : cgiFormStringNoNewlines(c.name, buf, c.size);
        EXPECT_EQ(r, c.result) << c.name << " size " << c.size;
        EXPECT_STREQ(buf, c.want) << c.name << " size " << c.size;
    }
    int need = 0;
    EXPECT_EQ(cgiFormStringSpaceNeeded("ten", &need), cgiFormSuccess);
    EXPECT_EQ(need, 11);
    EXPECT_EQ(cgiFormStringSpaceNeeded("nul", &need), cgiFormSuccess);
    EXPECT_EQ(need, 3);
    EXPECT_EQ(cgiFormStringSpaceNeeded("missing", &need), cgiFormNotFound);
    EXPECT_EQ(need, 1);
}

TEST_F(FormEntries, FileNameTypeAndSize)
{
    struct Case {
        const char* name;
        int size;
        cgiFormResultType (*get)(const char*, char*, int);
        std::string want;
        cgiFormResultType result;
    };
    const Case cases[] = {
        {"f", 128, cgiFormFileName, "fw.bin", cgiFormSuccess},
        {"a", 128, cgiFormFileName, "", cgiFormNoFileName},
        {"missing", 128, cgiFormFileName, "", cgiFormNotFound},
        {"n127", 128, cgiFormFileName, std::string(127, 'n'), cgiFormSuccess},
        {"n128", 128, cgiFormFileName, std::string(127, 'm'), cgiFormTruncated},
        {"f", 4, cgiFormFileName, "fw.", cgiFormTruncated},
        {"f", 128, cgiFormFileContentType, "application/octet-stream", cgiFormSuccess},
        {"zero", 128, cgiFormFileContentType, "", cgiFormNoContentType},
        {"missing", 128, cgiFormFileContentType, "", cgiFormNotFound},
    };
    for (const Case& c : cases) {
        char buf[256];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(c.get(c.name, buf, c.size), c.result) << c.name;
        EXPECT_EQ(std::string(buf), c.want) << c.name;
    }
    char untouched = '#';
    EXPECT_EQ(cgiFormFileName("f", &untouched, 0), cgiFormTruncated);
    EXPECT_EQ(untouched, '#');

    struct SizeCase { const char* name; int size; cgiFormResultType result; };
    for (const SizeCase& c : {SizeCase{"f", 10, cgiFormSuccess}, SizeCase{"zero", 0, cgiFormSuccess},
                              SizeCase{"a", 0, cgiFormNotAFile},
                              SizeCase{"missing", 0, cgiFormNotFound}}) {
        int size = -1;
        EXPECT_EQ(cgiFormFileSize(c.name, &size), c.result) << c.name;
        EXPECT_EQ(size, c.size) << c.name;
    }
    EXPECT_EQ(cgiFormFileSize("f", nullptr), cgiFormSuccess);
}

TEST_F(FormEntries, FileHandlesReadIndependentlyUntilEOF)
{
    cgiFilePtr h1 = nullptr;
    cgiFilePtr h2 = nullptr;
    ASSERT_EQ(cgiFormFileOpen("f", &h1), cgiFormSuccess);
    ASSERT_EQ(cgiFormFileOpen("f", &h2), cgiFormSuccess);
    std::vector<int> pieces;
    char buf[4];
    int got = -1;
    while (cgiFormFileRead(h1, buf, sizeof buf, &got) == cgiFormSuccess)
        pieces.push_back(got);
    EXPECT_EQ(pieces, (std::vector<int>{4, 4, 2}));
    got = -1;
    EXPECT_EQ(cgiFormFileRead(h1, buf, sizeof buf, &got), cgiFormEOF);
    EXPECT_EQ(got, -1);
    ASSERT_EQ(cgiFormFileRead(h2, buf, sizeof buf, &got), cgiFormSuccess);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(cgiFormFileClose(h1), cgiFormSuccess);
    EXPECT_EQ(cgiFormFileClose(h2), cgiFormSuccess);

    cgiFilePtr h = nullptr;
    ASSERT_EQ(cgiFormFileOpen("zero", &h), cgiFormSuccess);
    EXPECT_EQ(cgiFormFileRead(h, buf, sizeof buf, &got), cgiFormEOF);
    cgiFormFileClose(h);
    EXPECT_EQ(cgiFormFileRead(nullptr, buf, sizeof buf, &got), cgiFormOpenFailed);
    EXPECT_EQ(cgiFormFileClose(nullptr), cgiFormOpenFailed);

    // Not a file, absent, or removed by some other agent: only the first two clear the handle.
    ASSERT_EQ(unlink(cgiFormEntryFindFirst("f")->tfileName), 0);
    const cgiFilePtr stale = reinterpret_cast<cgiFilePtr>(&got);
    for (auto [name, result] : {std::pair{"a", cgiFormNotAFile}, std::pair{"missing", cgiFormNotFound},
                                std::pair{"f", cgiFormIO}}) {
        h = stale;
        EXPECT_EQ(cgiFormFileOpen(name, &h), result) << name;
        EXPECT_EQ(h, result == cgiFormIO ? stale : nullptr) << name;
    }
}
