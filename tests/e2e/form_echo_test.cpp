// form-echo.cgi as a process: an upload through lighttpd whole in flat memory up to the server's limit, and
// refused beyond it; an unparsed request unanswered.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"
#include "tests/support/temp_root.h"
#include "tests/support/web_server.h"

TEST(FormEchoWeb, UploadUpToTheServersLimitKeepsMemoryFlatAndOneBeyondIsNeverRun)
{
    quibtest::TempRoot root;
    quibtest::WebServer server;
    constexpr long limit = 4096L << 10;  // server.max-request-size, in bytes
    const std::string big = root.host("/big.bin");
    std::ofstream(big).close();
    std::filesystem::resize_file(big, limit - 1024);  // sparse: quick to make, with a near-delimiter across a buffer
    std::fstream(big, std::ios::in | std::ios::out | std::ios::binary).seekp(4095) << "\r\n-------------\r\n-";
    root.write("/small.bin", "small");
    // The HTTP status, then the echo's JSON report of the file that curl posted.
    auto echo = [&](const std::string& path) {
        const auto r = quibtest::runProcess({"/usr/bin/curl", "-sS", "-w", "\n%{http_code}", "-F", "f=@" + path,
                                             server.url("/cgi-bin/form-echo.cgi/json")});
        const size_t nl = r.out.rfind('\n');
        return std::pair(r.out.substr(nl + 1), nlohmann::json::parse(r.out.substr(0, nl), nullptr, false));
    };

    const auto [smallStatus, small] = echo(root.host("/small.bin"));
    const auto [largeStatus, large] = echo(big);
    ASSERT_EQ(largeStatus + smallStatus, "200200");
    EXPECT_EQ(large["entries"][0]["size"], limit - 1024) << large;
    EXPECT_EQ(large["entries"][0]["sha256"], quibtest::sha256File(big));
    // Holding the upload in memory would add 4095 KiB.
    EXPECT_LT(large["peak_rss_kib"].get<long>() - small["peak_rss_kib"].get<long>(), 2 * 1024);
    std::filesystem::resize_file(big, limit);  // with the form's own lines, beyond the limit
    EXPECT_EQ(echo(big).first, "413");
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
