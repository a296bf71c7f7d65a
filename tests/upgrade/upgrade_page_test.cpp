// The query-string scan and the result page, byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "upgrade/upgrade_internal.h"

namespace {

const std::string kHead =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"
    "Pragma: no-cache\r\n"
    "Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
    "\r\n"
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\"><head>\r\n"
    "<title>ORVEN</title>"
    "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\" />";
const std::string kTail = "</head><body></body></html>";

std::string page(int outcome, const UpgradeQuery& q, const char* type, const char* name)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    WriteResultPage(f, outcome, &q, type, name);
    std::fclose(f);
    std::string s(buf, len);
    free(buf);
    return s;
}

}  // namespace

TEST(UpgradeQuery, ScanKeepsTokensAsTheyStandAndLastKeyWins)
{
    struct Case {
        const char* qs;  // nullptr: no query string
        const char* url;
        int port;
        int kind;
    };
    const Case cases[] = {
        {nullptr, "url=../index.html", 0, 0},
        {"", "url=../index.html", 0, 0},
        {"url=../a.html&url=../b%20c.html+x", "url=../b%20c.html+x", 0, 0},
        {"models=&system=&settings=", "url=../index.html", 0, 1},
        {"udp_port=2&udp_port=", "url=../index.html", 0, 0},
        {"udp_port=27", "url=../index.html", '2', 0},
        {"&&URL=x&Settings=1&url=y&", "url=y", 0, 0},
        {"urlx=1&udp_port9=1&system", "url=../index.html", 0, 0},
    };
    for (const auto& c : cases) {
        std::string qs = c.qs ? c.qs : "";
        UpgradeQuery q{};
        ScanQueryString(c.qs ? qs.data() : nullptr, &q);
        EXPECT_STREQ(q.urlToken, c.url) << (c.qs ? c.qs : "(none)");
        EXPECT_EQ(q.udpPort, c.port) << (c.qs ? c.qs : "(none)");
        EXPECT_EQ(q.restoreKind, c.kind) << (c.qs ? c.qs : "(none)");
    }
}

TEST(UpgradeQuery, BaseNameDropsUnixAndWindowsDirectories)
{
    const char* cases[][2] = {
        {"a/b\\c/d.txt", "d.txt"},
        {"dir/", ""},
    };
    for (const auto& c : cases) {
        char out[128];
        StripDirectories(c[0], out, sizeof out);
        EXPECT_STREQ(out, c[1]) << c[0];
    }
}

TEST(UpgradePage, RefreshElementForEachOutcome)
{
    const UpgradeQuery udp{"url=../u.html", '3', RESTORE_SETTINGS};  // the port wins over the restore key
    const UpgradeQuery restore{"url=../r.html", 0, RESTORE_MODELS};
    struct Case {
        int outcome;
        const UpgradeQuery* q;
        const char* type;
        const char* want;
    };
    const Case cases[] = {
        {0, &udp, "UDP", "0;url=../u.html?type=UDP&name=FrmWCINT_2.bin&port=3"},
        {0, &restore, "Unknown", "0;url=../r.html?restoresettingserror=0"},
        {106, &udp, "UDP", "0;url=../u.html?error=2006&version=v2.11&port=3"},
        {108, &restore, "Unknown", "0;url=../r.html?restoresettingserror=2008"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(page(c.outcome, *c.q, c.type, "FrmWCINT_2.bin"),
                  kHead + "<meta http-equiv=\"Refresh\" content=\"" + c.want + "\" />" + kTail)
            << c.outcome;
    }
}

TEST(UpgradePage, DoubleQuotesCannotEndTheRefreshAttribute)
{
    const UpgradeQuery q{"url=x\"><script>", '"', RESTORE_NONE};
    EXPECT_EQ(page(0, q, "a\"b", "n\"'<&>.txt"),
              kHead +
                  "<meta http-equiv=\"Refresh\" content=\"0;url=x&#34;><script>?type=a%22b"
                  "&name=n%22'<%26>.txt&port=%22\" />" +
                  kTail);
}

TEST(UpgradePage, ValuesArePercentEncodedExactlyWhereTheQueryWouldBreak)
{
    const UpgradeQuery udp{"url=../u.html", '#', RESTORE_NONE};
    struct Case {
        const char* name;
        const char* want;
    };
    const Case cases[] = {
        {"FrmWCINT_2.1-b.bin", "FrmWCINT_2.1-b.bin"},
        {"a&b#c%d+e\"f g", "a%26b%23c%25d%2Be%22f%20g"},
        {"\x01\x1F\x7F\x80\xFF", "%01%1F%7F%80%FF"},
        {"<'>=;/?:@!$()*,[]~", "<'>=;/?:@!$()*,[]~"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(page(0, udp, c.name, c.name),
                  kHead + "<meta http-equiv=\"Refresh\" content=\"0;url=../u.html?type=" + c.want +
                      "&name=" + c.want + "&port=%23\" />" + kTail)
            << c.name;
    }
}

TEST(UpgradeQuery, UrlTokenIsFollowedOnlyWhenItStaysOnTheInstrument)
{
    struct Case {
        const char* url;
        bool followed;
    };
    const Case cases[] = {
        {"url=../index.html", true},
        {"url=/index.html?a=b:c#d", true},
        {"url=page:1.html", false},  // a scheme, however odd
        {"url=./page:1.html", true},
        {"url=https://elsewhere/", false},
        {"url=javascript:alert(1)", false},
        {"url=//elsewhere/", false},
        {"url=/\\elsewhere/", false},
        {"url=\\elsewhere", false},
        {"url=\\/elsewhere", false},
        {"url=", true},
        {"url= //elsewhere", false},  // browsers skip the blank
        {"url=/\t/elsewhere", false},  // and drop the tab
        {"url='//elsewhere'", false},  // and take the quotes off
        {"url=\"//elsewhere\"", false},
        {"url=../it's.html", true},
    };
    for (const auto& c : cases) {
        std::string qs = std::string("url=../first.html&") + c.url;
        UpgradeQuery q{};
        ScanQueryString(qs.data(), &q);
        EXPECT_STREQ(q.urlToken, c.followed ? c.url : "url=../index.html") << c.url;
    }
}

TEST(UpgradeOrigin, SameSiteOnlyForTheHostAndPortTheRequestWasSentTo)
{
    struct Case {
        const char* origin;  // nullptr: no Origin header
        const char* host;    // nullptr: no Host header
        bool same;
    };
    const Case cases[] = {
        {nullptr, nullptr, true},  // curl and scripts
        {"", "192.168.1.20", true},
        {"http://192.168.1.20", "192.168.1.20", true},
        {"HTTP://Instrument.local:8080", "instrument.LOCAL:8080", true},
        {"http://192.168.1.20:80", "192.168.1.20", true},
        {"https://192.168.1.20", "192.168.1.20:443", true},
        {"http://[fe80::1]:8080", "[fe80::1]:8080", true},
        {"http://192.168.1.20", "192.168.1.20:8080", false},
        {"https://192.168.1.20", "192.168.1.20:80", false},
        {"http://evil.example", "192.168.1.20", false},
        {"http://192.168.1.2", "192.168.1.20", false},
        {"http://192.168.1.200", "192.168.1.20", false},
        {"null", "192.168.1.20", false},
        {"file://", "192.168.1.20", false},
        {"ftp://192.168.1.20", "192.168.1.20", false},
        {"http://u@192.168.1.20", "192.168.1.20", false},
        {"http://192.168.1.20/", "192.168.1.20", false},
        {"http://192.168.1.20:99999", "192.168.1.20:99999", false},
        {"http://192.168.1.20:8x", "192.168.1.20:8x", false},
        {"http://192.168.1.20", nullptr, false},
        {"http://", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SameSiteOrigin(c.origin, c.host), c.same)
            << (c.origin ? c.origin : "(none)") << " / " << (c.host ? c.host : "(none)");
    }
}
