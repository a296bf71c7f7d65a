// The query-string scan, the same-site check and the result page.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "upgrade/upgrade_internal.h"

TEST(UpgradeQuery, ScanKeepsTokensAsTheyStandAndLastKeyWins)
{
    struct Case {
        const char* qs;
        const char* url;
        int port;
        int kind;
    };
    const Case cases[] = {
        {"url=../a.html&url=../b%20c.html+x", "url=../b%20c.html+x", 0, 0},
        {"url=../a.html&url=//elsewhere/", "url=../index.html", 0, 0}, {"models=&system=&settings=", "url=../index.html", 0, 1},
        {"udp_port=27", "url=../index.html", '2', 0}, {"&&URL=x&Settings=1&url=y&", "url=y", 0, 0},
        {"urlx=1&udp_port9=1&system", "url=../index.html", 0, 0},
    };
    for (const auto& c : cases) {
        std::string qs = c.qs;
        UpgradeQuery q{};
        ScanQueryString(qs.data(), &q);
        EXPECT_STREQ(q.urlToken, c.url) << c.qs;
        EXPECT_EQ(q.udpPort, c.port) << c.qs;
        EXPECT_EQ(q.restoreKind, c.kind) << c.qs;
    }
    char base[128];
    StripDirectories("a\\b/c\\d.txt", base, sizeof base);
    EXPECT_STREQ(base, "d.txt");
}

TEST(UpgradeQuery, UrlTokenIsFollowedOnlyWhenItStaysOnTheInstrument)
{
    // Browsers skip a leading blank, drop tabs and take quotes off before they resolve.
    for (const char* ref : {"../index.html", "/index.html?a=b:c#d", "./page:1.html", "", "../it's.html"})
        EXPECT_TRUE(IsRelativeReference(ref)) << ref;
    for (const char* ref : {"page:1.html", "https://elsewhere/", "javascript:alert(1)", "//elsewhere/", "/\\elsewhere/",
                            "\\elsewhere", "\\/elsewhere", " //elsewhere", "/\t/elsewhere", "'//elsewhere'", "\"//elsewhere\""})
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
        {nullptr, nullptr, true}, {"", "192.168.1.20", true}, {"http://192.168.1.20", "192.168.1.20", true},
        {"HTTP://Instrument.local:8080", "instrument.LOCAL:8080", true}, {"http://192.168.1.20:80", "192.168.1.20", true},
        {"https://192.168.1.20", "192.168.1.20:443", true}, {"http://[fe80::1]:8080", "[fe80::1]:8080", true},
        {"http://192.168.1.20", "192.168.1.20:8080", false}, {"https://192.168.1.20", "192.168.1.20:80", false},
        {"http://evil.example", "192.168.1.20", false}, {"http://192.168.1.2", "192.168.1.20", false},
        {"http://192.168.1.200", "192.168.1.20", false}, {"null", "192.168.1.20", false}, {"file://", "192.168.1.20", false},
        {"ftp://192.168.1.20", "192.168.1.20", false}, {"http://u@192.168.1.20", "192.168.1.20", false},
        {"http://192.168.1.20/", "192.168.1.20", false}, {"http://192.168.1.20:99999", "192.168.1.20:99999", false},
        {"http://192.168.1.20:8x", "192.168.1.20:8x", false}, {"http://192.168.1.20", nullptr, false}, {"http://", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameSiteOrigin(c.origin, c.host), c.same)
            << (c.origin ? c.origin : "(none)") << " / " << (c.host ? c.host : "(none)");
    }
}

// What the routes cannot show: outcome 100 is still a success, values are
// percent-encoded exactly where the query would break, no double quote ends
// the attribute. The first case's page byte for byte, the others' Refresh content.
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
        {0, &hash, "FrmWCINT_2.1-b.bin", "a&b#c%d+e\"f g", "0;url=../h.html?type=FrmWCINT_2.1-b.bin&name=a%26b%23c%25d%2Be%22f%20g&port=%23"},
        {0, &hash, "\x01\x1F\x7F\x80\xFF", "<'>=;/?:@!$()*,[]~", "0;url=../h.html?type=%01%1F%7F%80%FF&name=<'>=;/?:@!$()*,[]~&port=%23"},
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
        const std::string page(buf, len);
        std::free(buf);
        if (&c == cases) {
            EXPECT_EQ(page, head + c.want + "\" /></head><body></body></html>");
        }
        EXPECT_EQ(page.substr(head.size(), page.find('"', head.size()) - head.size()), c.want) << c.outcome;
    }
}
