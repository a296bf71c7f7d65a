// form-echo.cgi behind lighttpd, driven by curl: what real clients send
// arrives in the entry list whole, and nothing is left in the root's tmp/.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

namespace {

using Fields = std::map<std::string, std::string>;

struct Report { Fields globals; std::vector<Fields> entries; };

std::string unescape(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The text report: "key: value" lines, each entry opened by "entry N" and
// its own lines indented.
Report parse(const std::string& text)
{
    Report r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("entry ")) {
            r.entries.emplace_back();
            continue;
        }
        const bool nested = line.starts_with("  ") && !r.entries.empty();
        const size_t from = nested ? 2 : 0, colon = line.find(':');
        if (colon != std::string::npos)
            (nested ? r.entries.back() : r.globals)[line.substr(from, colon - from)] =
                colon + 2 <= line.size() ? unescape(line.substr(colon + 2)) : "";
    }
    return r;
}

class FormEcho : public ::testing::Test {
protected:
    // capture: the echo also saves every request below captures().
    explicit FormEcho(bool capture = false)
        : server({.documentRoot = {},
                  .env = capture ? Fields{{"FORM_ECHO_CAPTURE", captures()}} : Fields{}})
    {
    }

    std::string captures() const { return root.path() + "/captures"; }

    void TearDown() override
    {
        std::string log = server.errorLog();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    }

    // Runs curl against the echo with the given arguments; returns the report.
    Report curl(std::vector<std::string> args, const std::string& query = "")
    {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--fail"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(server.url("/cgi-bin/form-echo.cgi" + query));
        auto r = quibtest::runProcess(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        lastBody = r.out;
        Report report = parse(r.out);
        // Every request's uploads are gone by the time its answer is complete.
        EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{});
        return report;
    }

    std::string file(const std::string& name, const std::string& content)
    {
        root.write("/" + name, content);
        return root.host("/" + name);
    }

    quibtest::TempRoot root;
    quibtest::WebServer server;
    std::string lastBody;
};

}  // namespace

// The parsing is the unit tables' part (tests/cgi); here: what curl sends
// through lighttpd arrives whole, with the server's own CGI variables.
TEST_F(FormEcho, FieldsAndFilesFromCurl)
{
    const std::string bin = std::string("\0\r\n--x\r\n\xff", 9);
    const std::string p1 = file("one.bin", bin);
    Report r = curl({"-F", "a=1", "-F", "a=2", "-F", "f=@" + p1});
    EXPECT_EQ(r.globals["request_method"], "POST");
    EXPECT_EQ(r.globals["content_type"], "multipart/form-data");
    EXPECT_EQ(r.globals["server_software"].rfind("lighttpd", 0), 0u);
    EXPECT_EQ(r.globals["remote_addr"], "127.0.0.1");
    EXPECT_EQ(r.globals["script_name"], "/cgi-bin/form-echo.cgi");
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[1]["value"], "2");
    Fields& f = r.entries[2];
    EXPECT_EQ(f["file_name"], "one.bin");
    EXPECT_EQ(f["size"], std::to_string(bin.size()));
    EXPECT_EQ(f["sha256"], quibtest::sha256File(p1));
    EXPECT_EQ(f["temp_file"].rfind(root.path() + "/tmp/quib", 0), 0u) << f["temp_file"];
}

// 64 MiB through lighttpd: the bytes arrive intact, and the CGI's peak memory
// is that of a small upload, not of the file.
TEST_F(FormEcho, LargeUploadKeepsMemoryFlat)
{
    const std::string big = root.path() + "/big.bin";
    {
        int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 64L << 20), 0);  // sparse: fast to make
        // A few marks, including near-delimiters, spread over the file.
        const std::string mark = "\r\n--------------------------\r\n-";
        for (off_t at : {off_t{0}, off_t{4095}, off_t{1} << 20, (off_t{64} << 20) - 40})
            ASSERT_EQ(pwrite(fd, mark.data(), mark.size(), at), static_cast<ssize_t>(mark.size()));
        close(fd);
    }
    const std::string small = file("small.bin", "small");

    Report s = curl({"-F", "f=@" + small});
    Report b = curl({"-F", "name=big", "-F", "f=@" + big});
    ASSERT_EQ(b.entries.size(), 2u);
    EXPECT_EQ(b.entries[1]["size"], std::to_string(64L << 20));
    EXPECT_EQ(b.entries[1]["value_length"], std::to_string(64L << 20));
    EXPECT_EQ(b.entries[1]["sha256"], quibtest::sha256File(big));

    const long smallRss = std::stol(s.globals["peak_rss_kib"]);
    const long bigRss = std::stol(b.globals["peak_rss_kib"]);
    std::printf("peak RSS of the CGI: %ld KiB for 5 bytes, %ld KiB for 64 MiB\n", smallRss, bigRss);
    // Holding the upload in memory would add 65536 KiB.
    EXPECT_LT(bigRss - smallRss, 8 * 1024);
}

// Without a web server: a request that fails to parse ends the run with -1
// before the application writes anything.
TEST(FormEchoProcess, ParseFailureExitsWithoutAnswer)
{
    quibtest::TempRoot root;
    const std::string echo = quibtest::binPath("form-echo.cgi");
    struct Case { const char* type; const char* length; std::string body; };
    const Case cases[] = {
        {"application/x-www-form-urlencoded", "-1", "a=1"},
        {"multipart/form-data; boundary=B",
         "1000", "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\ncut"},
    };
    for (const Case& c : cases) {
        auto r = quibtest::runProcess({echo},
                                      {{"REQUEST_METHOD", "POST"},
                                       {"CONTENT_TYPE", c.type},
                                       {"CONTENT_LENGTH", c.length}},
                                      c.body);
        EXPECT_EQ(r.status, 255) << c.length;
        EXPECT_EQ(r.out, "") << c.length;
        EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{});
    }
}

namespace {

// The report without what differs between two runs of the same request (a
// capture does not keep the boundary; run without a server, the CGI header
// line is part of the output).
Report comparable(Report r)
{
    for (const char* key :
         {"peak_rss_kib", "capture", "replay_error", "multipart_boundary", "Content-type"})
        r.globals.erase(key);
    for (Fields& e : r.entries)
        e.erase("temp_file");
    return r;
}

class FormEchoReplay : public FormEcho {
protected:
    FormEchoReplay() : FormEcho(true) {}
};

}  // namespace

// A request captured live through lighttpd replays in a fresh process with
// the same report (forged captures are the unit tests' part: tests/cgi/capture_test.cpp).
TEST_F(FormEchoReplay, CapturedRequestReplaysInAFreshProcess)
{
    std::filesystem::create_directories(captures());
    root.write("/up.bin", std::string("\x01\x02\0\r\n--x", 8));
    root.write("/up2.txt", "two");
    root.write("/nul.txt", std::string("x\0y", 3));  // a field's value, NUL and all
    Report liveReport = curl({"-F", "a=1", "-F", "a=x y", "-F", "n=<" + root.host("/nul.txt"), "-F",
                              "f=@" + root.host("/up.bin") + ";type=image/png", "-F",
                              "f=@" + root.host("/up2.txt"), "-b", "session=42"},
                             "?url=../index.html");
    const std::string file = liveReport.globals["capture"];
    ASSERT_EQ(file.rfind(captures() + "/capture-", 0), 0u) << lastBody;

    const std::string echo = quibtest::binPath("form-echo.cgi");
    auto replay = quibtest::runProcess({echo}, {{"FORM_ECHO_REPLAY", file}});
    ASSERT_EQ(replay.status, 0) << replay.err;
    Report replayed = parse(replay.out);
    EXPECT_EQ(replayed.globals.count("replay_error"), 0u) << replay.out;
    EXPECT_EQ(comparable(replayed).globals, comparable(liveReport).globals);
    ASSERT_EQ(replayed.entries.size(), 5u);
    EXPECT_EQ(comparable(replayed).entries, comparable(liveReport).entries);
    EXPECT_EQ(replayed.entries[2]["value_length"], "3");
    EXPECT_EQ(replayed.globals["cookie"], "session=42");
    EXPECT_NE(replayed.entries[3]["temp_file"], liveReport.entries[3]["temp_file"]);
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{});

    // A root without tmp/ cannot take the uploads: said so, not a cut capture.
    std::filesystem::create_directories(root.host("/bare"));
    auto bare = quibtest::runProcess({echo}, {{"FORM_ECHO_REPLAY", file},
                                              {"INSTRUMENT_ROOT", root.host("/bare")}});
    Report b = parse(bare.out);
    EXPECT_EQ(b.globals["replay_error"], "0") << bare.out;
    EXPECT_EQ(b.globals["replay_reason"].rfind("the instrument root has no tmp/", 0), 0u) << bare.out;
}
