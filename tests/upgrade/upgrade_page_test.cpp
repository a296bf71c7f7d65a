// The url token and same-site checks, and the result page.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "upgrade/upgrade_internal.h"

TEST(UpgradeQuery, UrlTokenIsFollowedOnlyWhenItStaysOnTheInstrument)
{
    // Browsers skip a leading blank, drop tabs and take quotes off before they resolve.
    for (const char* ref : {"../index.html", "/index.html?a=b:c#d", "./page:1.html", "", "../it's.html"})
        EXPECT_TRUE(IsRelativeReference(ref)) << ref;
    for (const char* ref : {"page:1.html", "https://elsewhere/", "javascript:alert(1)", "//elsewhere/",
                            "/\\elsewhere/", "\\elsewhere", "\\/elsewhere", " //elsewhere", "/\t/elsewhere",
                            "'//elsewhere'", "\"//elsewhere\""})
        EXPECT_FALSE(IsRelativeReference(ref)) << ref;
}

// Origin, or without it Referer, must name the host and port the request was sent to, and that host one of
// the instrument's own names: a rebound name supplies both. Neither present: scripts, served as before.
TEST(UpgradeOrigin, OwnPageOnlyForTheHostAndPortTheRequestWasSentToByAnOwnName)
{
    char own[256] = "";
    ASSERT_EQ(gethostname(own, sizeof own - 1), 0);
    const std::string full = own, shortName = full.substr(0, full.find('.')), theirs = shortName + ".evil.example";
    const std::string fromFull = "http://" + full, fromShort = "http://" + shortName, fromTheirs = "http://" + theirs;
    using Row = std::tuple<const char*, const char*, const char*, bool>;  // Origin, Referer, Host, served
    for (const auto& [from, referer, host, same] : std::vector<Row>{
             {nullptr, nullptr, nullptr, true}, {nullptr, nullptr, "evil.example", true},
             {"HTTP://LocalHost:8", nullptr, "localhost:8", true}, {"http://127.0.0.1:80", nullptr, "127.0.0.1", true},
             {"https://[fe80::1]", nullptr, "[fe80::1]:443", true}, {"http://[::ffff:1.2.3.4]", nullptr, "[::ffff:1.2.3.4]", true},
             {fromFull.c_str(), nullptr, full.c_str(), true}, {fromShort.c_str(), nullptr, shortName.c_str(), true},
             {fromTheirs.c_str(), nullptr, theirs.c_str(), false},
             {"http://evil.example:8080", nullptr, "evil.example:8080", false},
             {"http://127.0.0.1", nullptr, "127.0.0.1:8080", false}, {"http://127.0.0.10", nullptr, "127.0.0.1", false},
             {"http://1.2.3", nullptr, "1.2.3", false}, {"http://256.1.1.1", nullptr, "256.1.1.1", false},
             {"http://[evil.example]", nullptr, "[evil.example]", false}, {"null", nullptr, "127.0.0.1", false},
             {"http://u@127.0.0.1", nullptr, "127.0.0.1", false}, {"http://1.2.3.4:99999", nullptr, "1.2.3.4:99999", false},
             {"http://1.2.3.4:8x", nullptr, "1.2.3.4:8x", false}, {"http://1.2.3.4", nullptr, nullptr, false},
             {"http://", nullptr, "", false},
             {nullptr, "http://127.0.0.1:8/index.html?a=b", "127.0.0.1:8", true},
             {nullptr, "http://localhost", "localhost", true}, {nullptr, "http://evil.example/", "127.0.0.1", false},
             {nullptr, "http://evil.example/", "evil.example", false}, {nullptr, "about:blank", "127.0.0.1", false},
             {"http://127.0.0.1", "http://evil.example/", "127.0.0.1", true}}) {
        EXPECT_EQ(FromOwnPage(from, referer, host), same)
            << (from ? from : "-") << ' ' << (referer ? referer : "-") << ' ' << (host ? host : "-");
    }
}

// What the routes cannot show, on a whole page: outcome 100 is still a success,
// values keep only the unreserved bytes as they are, no double quote ends the
// attribute and no '<' stands in it, the port wins over the restore key.
TEST(UpgradePage, RefreshElementForEachOutcome)
{
    const UpgradeQuery plain{"url=../p.html", 0, RESTORE_NONE}, odd{"url=x\"<>", '#', RESTORE_SETTINGS};
    auto page = [](int outcome, const UpgradeQuery& q, const char* type, const char* name) {
        char* buf = nullptr;
        size_t len = 0;
        FILE* f = open_memstream(&buf, &len);
        WriteResultPage(f, outcome, &q, type, name);
        std::fclose(f);
        const std::string text(buf, len);
        std::free(buf);
        return text;
    };
    const std::string head =
        "Content-Type: text/html; charset=utf-8\r\n"
        "Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"
        "Pragma: no-cache\r\nExpires: Thu, 19 Nov 1981 08:52:00 GMT\r\n\r\n"
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\"><head>\r\n"
        "<title>ORVEN</title><meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />"
        "<meta http-equiv=\"Refresh\" content=\"0;", tail = "\" /></head><body></body></html>";
    EXPECT_EQ(page(100, plain, "IHM", "Web.tgz"), head + "url=../p.html?type=IHM&name=Web.tgz" + tail);
    EXPECT_EQ(page(0, odd, "a\"b\x01\x1F\x7F\x80\xFF", "a&b#c%d+e\"f g<'>=;/?:@!$()*,~-._Az09"),
              head + "url=x&#34;&#60;>?type=a%22b%01%1F%7F%80%FF&name=a%26b%23c%25d%2Be%22f%20g%3C%27%3E%3D%3B%2F%3F" +
                  "%3A%40%21%24%28%29%2A%2C~-._Az09&port=%23" + tail);
}
