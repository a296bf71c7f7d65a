// form-echo.cgi behind lighttpd, driven by curl: what only a real server shows
// of the request layer (the parsing itself is tests/cgi's).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

using Json = nlohmann::json;
using Files = std::vector<std::string>;

namespace {

// The echo's JSON report of what curl, given args, sent through the server.
Json echo(const quibtest::WebServer& server, std::vector<std::string> args)
{
    args.insert(args.begin(), {"/usr/bin/curl", "-sS", "--fail"});
    args.push_back(server.url("/cgi-bin/form-echo.cgi/json?url=../index.html"));
    const auto r = quibtest::runProcess(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return Json::parse(r.out, nullptr, false);
}

}  // namespace

// 64 MiB arrive intact, and the CGI's peak memory is that of a small upload.
TEST(FormEchoWeb, LargeUploadKeepsMemoryFlat)
{
    quibtest::TempRoot root;
    quibtest::WebServer server;
    const std::string big = root.host("/big.bin");
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_EQ(ftruncate(fd, 64L << 20), 0);  // sparse: quick to make
    const std::string nearDelimiter = "\r\n--------------------------\r\n-";
    for (off_t at : {off_t {0}, off_t {4095}, off_t {1} << 20, (off_t {64} << 20) - 40})
        ASSERT_EQ(pwrite(fd, nearDelimiter.data(), nearDelimiter.size(), at), ssize_t(nearDelimiter.size()));
    close(fd);
    root.write("/small.bin", "small");

    const Json small = echo(server, {"-F", "f=@" + root.host("/small.bin")});
    const Json large = echo(server, {"-F", "f=@" + big});
    EXPECT_EQ(large["entries"][0]["size"], 64L << 20) << large;
    EXPECT_EQ(large["entries"][0]["sha256"], quibtest::sha256File(big));
    // Holding the upload in memory would add 65536 KiB.
    EXPECT_LT(large["peak_rss_kib"].get<long>() - small["peak_rss_kib"].get<long>(), 8 * 1024);
    EXPECT_EQ(root.list("/tmp"), Files {});
}

// A request captured live replays in a fresh process as the same report
// (forged captures are tests/cgi's).
TEST(FormEchoWeb, CapturedRequestReplaysInAFreshProcess)
{
    quibtest::TempRoot root;
    std::filesystem::create_directories(root.host("/captures"));
    quibtest::WebServer server({{"FORM_ECHO_CAPTURE", root.host("/captures")}});
    root.write("/up.bin", std::string("\x01\x02\0\r\n--x", 8));
    root.write("/nul.txt", std::string("x\0y", 3));  // a field's value, NUL and all
    Json live = echo(server, {"-F", "a=x y", "-F", "n=<" + root.host("/nul.txt"), "-F",
                              "f=@" + root.host("/up.bin") + ";type=image/png", "-b", "session=42"});
    const std::string capture = live.value("capture", "");
    ASSERT_TRUE(capture.starts_with(root.host("/captures/capture-"))) << live;

    const auto run = quibtest::runProcess({quibtest::binPath("form-echo.cgi")},
                                          {{"FORM_ECHO_REPLAY", capture}, {"FORM_ECHO_FORMAT", "json"}});
    ASSERT_EQ(run.status, 0) << run.err;
    Json replayed = Json::parse(run.out.substr(run.out.find('{')), nullptr, false);
    EXPECT_NE(replayed["entries"][2]["temp_file"], live["entries"][2]["temp_file"]);
    // Less what differs between two runs: a capture does not keep the boundary.
    for (Json* j : {&live, &replayed}) {
        for (const char* key : {"peak_rss_kib", "capture", "multipart_boundary"})
            j->erase(key);
        for (auto& entry : (*j)["entries"])
            entry.erase("temp_file");
    }
    EXPECT_EQ(replayed, live);
    EXPECT_EQ(root.list("/tmp"), Files {});
}
