// The entry accessors: the name cursor, the string readers, file names, types, sizes and handles.
#include <cstring>
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"

using namespace cgitest;

namespace {

class FormEntries : public CgiTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(post(multipartBody("B", {{field("a"), "1"}, {field("a"), "3"},
                                           {field("breaks"), "x\r\n\r\ny\n\n\rz\rw"},
                                           {field("only"), "\r\n\r"}, {field("ten"), "0123456789"},
                                           {field("f", "fw.bin", "application/octet-stream"), "0123456789"},
                                           {field("zero", "z.bin"), ""}})),
                  cgiParseSuccess);
    }
};

}  // namespace

TEST_F(FormEntries, CursorAndStringReaders)
{
    // No program of the tree reads strings this way: each reader keeps its main success and failure.
    struct Case { const char* name; int size; bool newlines; const char* want; cgiFormResultType result; };
    for (const Case& c : {Case{"breaks", 64, true, "x\n\ny\n\nz\nw", cgiFormSuccess},
                          {"ten", 5, true, "0123", cgiFormTruncated}, {"breaks", 64, false, "xyzw", cgiFormSuccess},
                          {"only", 64, false, "", cgiFormEmpty}}) {
        char buf[64];
        auto read = c.newlines ? cgiFormString : cgiFormStringNoNewlines;
        EXPECT_EQ(read(c.name, buf, c.size), c.result) << c.name << " size " << c.size;
        EXPECT_STREQ(buf, c.want) << c.name << " size " << c.size;
    }
    int ten = 0, missing = 0;
    EXPECT_EQ(std::pair(cgiFormStringSpaceNeeded("ten", &ten), cgiFormStringSpaceNeeded("missing", &missing)),
              std::pair(cgiFormSuccess, cgiFormNotFound));
    EXPECT_EQ(std::pair(ten, missing), std::pair(11, 1));

    EXPECT_STREQ(cgiFormEntryFindFirst("a")->value, "1");
    EXPECT_STREQ(cgiFormEntryFindNext()->value, "3");
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr);
    EXPECT_EQ(cgiFormEntryFindFirst("A"), nullptr);
    cgiFormEntryFindFirst("a");
    cgiFreeResources();
    EXPECT_EQ(cgiFormEntryFindNext(), nullptr) << "freeing the list leaves no cursor into it";
}

TEST_F(FormEntries, FileNamesTypesSizesAndHandles)
{
    struct Case { const char* name; int size; bool type; std::string want; cgiFormResultType result; };
    const Case cases[] = {
        {"a", 128, false, "", cgiFormNoFileName},
        {"missing", 128, false, "", cgiFormNotFound},
        {"f", 7, false, "fw.bin", cgiFormSuccess},
        {"f", 6, false, "fw.bi", cgiFormTruncated},
        {"f", 0, false, "#", cgiFormTruncated},  // a buffer of no size is left alone
        {"f", 128, true, "application/octet-stream", cgiFormSuccess},
        {"zero", 128, true, "", cgiFormNoContentType},
    };
    for (const Case& c : cases) {
        char buf[256] = "#";
        std::memset(buf + 2, '#', sizeof buf - 2);
        EXPECT_EQ((c.type ? cgiFormFileContentType : cgiFormFileName)(c.name, buf, c.size), c.result) << c.name;
        EXPECT_EQ(std::string(buf), c.want) << c.name;
    }
    int size = -1, notAFile = -1;
    EXPECT_EQ(std::pair(cgiFormFileSize("f", &size), cgiFormFileSize("a", &notAFile)),
              std::pair(cgiFormSuccess, cgiFormNotAFile));
    EXPECT_EQ(std::pair(size, notAFile), std::pair(10, 0));

    // A handle reads its file in pieces until EOF.
    cgiFilePtr h = nullptr;
    ASSERT_EQ(cgiFormFileOpen("f", &h), cgiFormSuccess);
    std::string content;
    char buf[4];
    for (int got = -1; cgiFormFileRead(h, buf, sizeof buf, &got) == cgiFormSuccess;)
        content += std::string(buf, size_t(got)) + "|";
    EXPECT_EQ(content, "0123|4567|89|");
    EXPECT_EQ(cgiFormFileClose(h), cgiFormSuccess);
    int got = -1;
    EXPECT_EQ(std::pair(cgiFormFileRead(nullptr, buf, sizeof buf, &got), cgiFormFileClose(nullptr)),
              std::pair(cgiFormOpenFailed, cgiFormOpenFailed));

    // Not a file, absent, or removed by some other agent: only the first two clear the handle.
    ASSERT_EQ(unlink(cgiFormEntryFindFirst("f")->tfileName), 0);
    const cgiFilePtr stale = reinterpret_cast<cgiFilePtr>(&got);
    for (auto [name, result] : {std::pair{"a", cgiFormNotAFile}, {"missing", cgiFormNotFound}, {"f", cgiFormIO}}) {
        h = stale;
        EXPECT_EQ(cgiFormFileOpen(name, &h), result) << name;
        EXPECT_EQ(h, result == cgiFormIO ? stale : nullptr) << name;
    }
}
