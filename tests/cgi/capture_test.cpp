// The request capture file: written and read back whole, and every cut, forged length, bad file or
// replay beyond a live request's limits refused cleanly.
#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/cgi/cgi_fixture.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"

using namespace cgitest;

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
    const std::string data = root.read("/capture.quib"), other = root.host("/other.quib");

    // Where each entry's records begin: the size of a capture of the entries before it.
    std::vector<size_t> starts;
    for (cgiFormEntry** link = &cgiFormEntryFirst;; link = &(*link)->next) {
        cgiFormEntry* const rest = std::exchange(*link, nullptr);
        ASSERT_EQ(cgiWriteEnvironment(other.c_str()), cgiEnvironmentSuccess);
        *link = rest;
        starts.push_back(root.read("/other.quib").size());
        if (rest == nullptr)
            break;
    }
    ASSERT_EQ(starts.back(), data.size());
    // Per entry: where its attr ends (a cut before is no entry), where its records end (a cut after
    // is a cut upload) and where its content ends; all numbers are big-endian 32-bit.
    struct Layout { size_t start, attrEnd, recordsEnd, end; };
    std::vector<Layout> l;
    for (size_t i = 0; i < original.size(); ++i)
        l.push_back({starts[i], starts[i] + 4 + original[i].attr.size(),
                     starts[i + 1] - (original[i].isFile ? original[i].valueLength : 0), starts[i + 1]});

    // Every cut: its result, a prefix of whole entries or nothing, and no temporary file.
    for (size_t n = 0; n <= data.size(); ++n) {
        cgiEnvironmentResultType want = n < starts[0] ? cgiEnvironmentIO : cgiEnvironmentSuccess;
        size_t complete = 0;
        for (const Layout& e : l) {
            if (want != cgiEnvironmentSuccess || n >= e.end) {
                complete += want == cgiEnvironmentSuccess;
                continue;
            }
            want = n >= e.recordsEnd ? cgiEnvironmentIO : n >= e.attrEnd ? cgiEnvironmentMemory : want;
            break;
        }
        root.write("/other.quib", data.substr(0, n));
        ASSERT_EQ(cgiReadEnvironment(other.c_str()), want) << "cut at " << n;
        const bool ok = want == cgiEnvironmentSuccess;
        const std::vector<Entry> kept(original.begin(), original.begin() + (ok ? complete : 0));
        ASSERT_EQ(entries(), kept) << "cut at " << n;
        EXPECT_EQ(cgiRestored, ok ? 1 : 0) << "cut at " << n;
        for (char** text : cgiEnvironmentTexts)
            ASSERT_NE(*text, nullptr);
        EXPECT_TRUE(!ok || std::string(cgiQueryString) + cgiCookie == "url=../index.htmlc=1") << "cut at " << n;
        cgiFreeResources();
        ASSERT_EQ(tmpFileCount(), 0u) << "cut at " << n;
    }

    const Layout& file = l[2];  // "f", 3 bytes
    struct Case { const char* label; std::string content; cgiEnvironmentResultType result; };
    auto forged = [&](size_t at, uint32_t v) { return std::string(data).replace(at, 4, quibtest::be32(v)); };
    // The environment of the capture, then entries made here: a value, or a file's content.
    auto text = [](const std::string& t) { return quibtest::be32(uint32_t(t.size())) + t; };
    auto entry = [&](const std::string& v, bool isFile = false) {
        return text("e") + text(isFile ? "" : v) + text("") + text("") + quibtest::be32(uint32_t(v.size())) +
               quibtest::be32(isFile) + (isFile ? v : "");
    };
    std::string many = data.substr(0, starts[0]);
    for (int i = 0; i < cgiMaxParts; ++i)
        many += entry("1", i % 10 == 0);
    const Case cases[] = {
        {"as many entries as a request may have", many, cgiEnvironmentSuccess},
        {"one entry more", many + entry("1"), cgiEnvironmentMemory},
        {"a value of the largest size", data.substr(0, starts[0]) + entry(std::string(cgiMaxValueLength, 'v')),
         cgiEnvironmentSuccess},
        {"one byte more", data.substr(0, starts[0]) + entry(std::string(cgiMaxValueLength + 1, 'v')),
         cgiEnvironmentMemory},
        {"magic length", forged(0, 0x7fffffff), cgiEnvironmentIO},
        {"environment string", forged(11, 0x7ffffff0), cgiEnvironmentIO},
        {"entry value", forged(file.attrEnd, 0x7fffffff), cgiEnvironmentMemory},
        {"negative entry value", forged(file.attrEnd, 0x80000000), cgiEnvironmentMemory},
        {"file content", forged(file.recordsEnd - 8, 0x7fffffff), cgiEnvironmentIO},
        {"attr of the next entry", forged(l[3].start, 0x40000000), cgiEnvironmentSuccess},
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
        EXPECT_TRUE(c.result == cgiEnvironmentSuccess || (cgiFormEntryFirst == nullptr && tmpFileCount() == 0))
            << c.label;
    }
    EXPECT_EQ(cgiReadEnvironment((root.path() + "/missing.quib").c_str()), cgiEnvironmentIO);
    // Through a pipe, whose size is not known, a value or an upload announcing 2 GiB is refused unread.
    struct Piped { size_t at, kept; cgiEnvironmentResultType result; };
    for (const Piped& c : {Piped{file.attrEnd, 4, cgiEnvironmentMemory}, {file.recordsEnd - 8, 8, cgiEnvironmentIO}}) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const std::string sent = forged(c.at, 0x7fffffff).substr(0, c.at + c.kept) + std::string(60000, 'z');
        ASSERT_EQ(write(fds[1], sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
        close(fds[1]);
        EXPECT_EQ(cgiReadEnvironment(("/dev/fd/" + std::to_string(fds[0])).c_str()), c.result) << c.at;
        int unread = 0;
        EXPECT_TRUE(ioctl(fds[0], FIONREAD, &unread) == 0 && unread > 50000) << unread;  // less a stdio buffer
        close(fds[0]);
    }

    // A field claiming more bytes than its value holds, or fewer than none, is cut to what it holds.
    for (uint32_t claimed : {1000u, 0xFFFFFFFFu}) {
        root.write("/other.quib", forged(l[0].recordsEnd - 8, claimed));
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
