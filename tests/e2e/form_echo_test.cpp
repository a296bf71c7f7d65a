// form-echo.cgi as a process: a large upload through lighttpd whole in flat memory; an unparsed request unanswered.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

TEST(FormEchoWeb, LargeUploadKeepsMemoryFlat)
{
    quibtest::TempRoot root;
    quibtest::WebServer server;
    const std::string big = root.host("/big.bin");
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 64 << 20);  // sparse: quick to make, with a near-delimiter across a buffer
    std::fstream(big, std::ios::in | std::ios::out | std::ios::binary).seekp(4095) << "\r\n-------------\r\n-";
    root.write("/small.bin", "small");
    // The echo's JSON report of the file that curl posted.
    auto echo = [&](const std::string& path) {
        const auto r = quibtest::runProcess({"/usr/bin/curl", "-sS", "--fail", "-F", "f=@" + path,
                                             server.url("/cgi-bin/form-echo.cgi/json")});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    };

    const auto small = echo(root.host("/small.bin")), large = echo(big);
    EXPECT_EQ(large["entries"][0]["size"], 64L << 20) << large;
    EXPECT_EQ(large["entries"][0]["sha256"], quibtest::sha256File(big));
    // Holding the upload in memory would add 65536 KiB.
    EXPECT_LT(large["peak_rss_kib"].get<long>() - small["peak_rss_kib"].get<long>(), 8 * 1024);
    EXPECT_TRUE(root.list("/tmp").empty());
}

TEST(FormEchoProcess, ParseFailureExitsWithoutAnswer)
{
    quibtest::TempRoot root;
    const auto r = quibtest::runProcess(
        {quibtest::binPath("form-echo.cgi")},
        {{"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "multipart/form-data; boundary=B"}, {"CONTENT_LENGTH", "99"}},
        "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\ncut");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(root.list("/tmp").empty());
}
