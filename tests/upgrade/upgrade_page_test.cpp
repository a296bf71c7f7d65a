// The url token and same-site checks, and the result page.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

TEST(UpgradeOrigin, SameSiteOnlyForTheHostAndPortTheRequestWasSentTo)
{
    struct Case {
        const char* origin;  // nullptr: no Origin header
        const char* host;    // nullptr: no Host header
        bool same;
    };
    const Case cases[] = {
        {nullptr, nullptr, true}, {"", "i.lan", true}, {"http://i.lan", "i.lan", true},
        {"HTTP://I.lan:8", "i.LAN:8", true}, {"http://i.lan:80", "i.lan", true}, {"https://i.lan", "i.lan:443", true},
        {"http://[fe80::1]:8", "[fe80::1]:8", true}, {"http://i.lan", "i.lan:8080", false},
        {"https://i.lan", "i.lan:80", false}, {"http://evil.example", "i.lan", false}, {"http://i.la", "i.lan", false},
        {"http://i.lann", "i.lan", false}, {"null", "i.lan", false}, {"http://u@i.lan", "i.lan", false},
        {"http://i.lan/", "i.lan", false}, {"http://i.lan:99999", "i.lan:99999", false},
        {"http://i.lan:8x", "i.lan:8x", false}, {"http://i.lan", nullptr, false}, {"http://", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameSiteOrigin(c.origin, c.host), c.same)
            << (c.origin ? c.origin : "(none)") << " / " << (c.host ? c.host : "(none)");
    }
}

// What the routes cannot show: outcome 100 is still a success, values are
// percent-encoded exactly where the query would break, no double quote ends
// the attribute.
TEST(UpgradePage, RefreshElementForEachOutcome)
{
    const UpgradeQuery plain{"url=../p.html", 0, RESTORE_NONE}, quoted{"url=x\"><script>", '"', RESTORE_NONE},
        hash{"url=../h.html", '#', RESTORE_SETTINGS};  // the port wins over the restore key
    struct Case {
        int outcome;
        const UpgradeQuery* q;
        const char* type;
        const char* name;
        const char* want;
    };
    const Case cases[] = {
        {100, &plain, "IHM", "Web.tgz", "0;url=../p.html?type=IHM&name=Web.tgz"},
        {0, &quoted, "a\"b", "n\"'<&>.txt", "0;url=x&#34;><script>?type=a%22b&name=n%22'<%26>.txt&port=%22"},
        {0, &hash, "\x01\x1F\x7F\x80\xFF", "a&b#c%d+e\"f g<'>=;/?:@!$()*,[]~",
         "0;url=../h.html?type=%01%1F%7F%80%FF&name=a%26b%23c%25d%2Be%22f%20g<'>=;/?:@!$()*,[]~&port=%23"},
    };
    const std::string head =
        "Content-Type: text/html; charset=utf-8\r\n"
        "Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"
        "Pragma: no-cache\r\n"
        "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
        "\r\n"
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\"><head>\r\n"
        "<title>ORVEN</title>"
        "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />"
        "<meta http-equiv=\"Refresh\" content=\"";
    for (const auto& c : cases) {
        char* buf = nullptr;
        size_t len = 0;
        FILE* f = open_memstream(&buf, &len);
        WriteResultPage(f, c.outcome, c.q, c.type, c.name);
        std::fclose(f);
        EXPECT_EQ(std::string(buf, len), head + c.want + "\" /></head><body></body></html>");
        std::free(buf);
    }
}
