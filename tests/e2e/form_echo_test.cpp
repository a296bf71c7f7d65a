// form-echo.cgi behind lighttpd, driven by curl: what real clients send
// arrives in the entry list whole, and nothing is left in the root's tmp/.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/image_bytes.h"
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

std::string sha256sum(const std::string& path)
{
    auto r = quibtest::runProcess({"/usr/bin/sha256sum", path});
    return r.out.substr(0, 64);
}

class FormEcho : public ::testing::Test {
protected:
    // capture: the echo also saves every request below captures().
    explicit FormEcho(bool capture = false)
        : server({.cgi = {{"/cgi-bin/form-echo.cgi", quibtest::binPath("form-echo.cgi")}},
                  .documentRoot = {},
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

TEST_F(FormEcho, FieldsFilesAndRepeatedNamesFromCurl)
{
    const std::string bin = std::string("\0\r\n--x\r\n\xff", 9);
    const std::string p1 = file("one.bin", bin);
    const std::string p2 = file("two.txt", "second file\n");
    const std::string empty = file("empty.dat", "");
    Report r = curl({"-F", "a=1", "-F", "a=2", "-F", "text=hello world", "-F", "f=@" + p1,
                     "-F", "f=@" + p2 + ";type=text/plain", "-F", "e=@" + empty});
    EXPECT_EQ(r.globals["request_method"], "POST");
    EXPECT_EQ(r.globals["content_type"], "multipart/form-data");
    EXPECT_FALSE(r.globals["multipart_boundary"].empty());
    EXPECT_EQ(r.globals["server_software"].rfind("lighttpd", 0), 0u);
    EXPECT_EQ(r.globals["remote_addr"], "127.0.0.1");
    EXPECT_EQ(r.globals["script_name"], "/cgi-bin/form-echo.cgi");
    ASSERT_EQ(r.entries.size(), 6u);

    struct Want {
        const char* name;
        std::string value;
        const char* fileName;
        const char* contentType;
        std::string path;  // for a file: its source
    };
    const Want want[] = {
        {"a", "1", "", "", ""},
        {"a", "2", "", "", ""},
        {"text", "hello world", "", "", ""},
        {"f", "", "one.bin", "application/octet-stream", p1},
        {"f", "", "two.txt", "text/plain", p2},
        {"e", "", "empty.dat", "application/octet-stream", empty},
    };
    for (size_t i = 0; i < 6; ++i) {
        Fields& e = r.entries[i];
        const Want& w = want[i];
        EXPECT_EQ(e["name"], w.name) << i;
        EXPECT_EQ(e["value"], w.value) << i;
        EXPECT_EQ(e["file_name"], w.fileName) << i;
        EXPECT_EQ(e["content_type"], w.contentType) << i;
        EXPECT_EQ(e["is_file"], w.path.empty() ? "no" : "yes") << i;
        if (w.path.empty()) {
            EXPECT_EQ(e["value_length"], std::to_string(w.value.size())) << i;
            continue;
        }
        const auto size = std::filesystem::file_size(w.path);
        EXPECT_EQ(e["value_length"], std::to_string(size)) << i;
        EXPECT_EQ(e["size"], std::to_string(size)) << i;
        EXPECT_EQ(e["sha256"], sha256sum(w.path)) << i;
        EXPECT_EQ(e["temp_file"].rfind(root.path() + "/tmp/quib", 0), 0u) << e["temp_file"];
    }
}

// The decoding itself is the unit tests' part; here: what curl sends arrives.
TEST_F(FormEcho, UrlEncodedGetAndPost)
{
    Report get = curl({"-G", "--data-urlencode", "q=a b&c=d", "--data", "x=%41%4a+1", "--data", "x="});
    EXPECT_EQ(get.globals["request_method"], "GET");
    ASSERT_EQ(get.entries.size(), 3u);
    EXPECT_EQ(get.entries[0]["value"], "a b&c=d");
    EXPECT_EQ(get.entries[1]["value"], "AJ 1");
    EXPECT_EQ(get.entries[2]["value_length"], "0");

    Report post = curl({"--data", "a=1&b=caf%C3%A9&a=3", "--data-urlencode", "n=x\r\ny"}, "?ignored=1");
    EXPECT_EQ(post.globals["content_type"], "application/x-www-form-urlencoded");
    EXPECT_EQ(post.globals["query_string"], "ignored=1");  // a POST parses its body only
    ASSERT_EQ(post.entries.size(), 4u);
    EXPECT_EQ(post.entries[1]["value"], "caf\xC3\xA9");
    EXPECT_EQ(post.entries[3]["value"], "x\r\ny");

    curl({"-G", "--data", "k=v"}, "/json");
    EXPECT_NE(lastBody.find("\"entries\":[{\"name\":\"k\",\"value\":\"v\",\"value_length\":1,"),
              std::string::npos)
        << lastBody;
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
    EXPECT_EQ(b.entries[1]["sha256"], sha256sum(big));

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
// the same report; a forged capture is refused without a huge allocation.
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

    // Forge the length of the first file's content type: far beyond the file,
    // so it reads as an entry cut after its name (cgiEnvironmentMemory, 1).
    // Under ASan a gigabyte allocation would abort the program.
    std::string data = root.read(file.substr(root.path().size()));
    const std::string forged = root.host("/forged.quib");
    size_t at = data.find("image/png");
    ASSERT_NE(at, std::string::npos);
    data.replace(at - 4, 4, quibtest::be32(0x7ffffff0));  // the string's length record
    root.write("/forged.quib", data);
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    auto refused = quibtest::runProcess(
        {echo}, {{"FORM_ECHO_REPLAY", forged},
                 {"ASAN_OPTIONS", asan + (asan.empty() ? "" : ":") + "max_allocation_size_mb=64"}});
    EXPECT_EQ(refused.status, 0) << refused.err;
    Report r = parse(refused.out);
    EXPECT_EQ(r.globals["replay_error"], "1") << refused.out;
    EXPECT_EQ(r.globals["replay_reason"], "an entry is broken off") << refused.out;
    EXPECT_TRUE(r.entries.empty());
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{});
}
