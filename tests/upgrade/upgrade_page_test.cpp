// The url token and same-site checks, and the result page.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
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

// No Origin (scripts) or one naming the host and port the request was sent to.
TEST(UpgradeOrigin, SameSiteOnlyForTheHostAndPortTheRequestWasSentTo)
{
    for (const auto& [from, host, same] : std::vector<std::tuple<const char*, const char*, bool>>{
             {nullptr, nullptr, true}, {"HTTP://Ab:8", "aB:8", true}, {"http://ab:80", "ab", true},
             {"https://ab", "ab:443", true}, {"http://[fe80::1]:8", "[fe80::1]:8", true},
             {"http://ab", "ab:8080", false}, {"http://a", "ab", false}, {"http://abc", "ab", false},
             {"null", "ab", false}, {"http://u@ab", "ab", false}, {"http://ab:99999", "ab:99999", false},
             {"http://ab:8x", "ab:8x", false}, {"http://ab", nullptr, false}, {"http://", "", false}}) {
        EXPECT_EQ(SameSiteOrigin(from, host), same) << (from ? from : "-") << ' ' << (host ? host : "-");
    }
}

// What the routes cannot show, on a whole page: outcome 100 is still a success,
// values are percent-encoded exactly where the query would break, no double
// quote ends the attribute, the port wins over the restore key.
TEST(UpgradePage, RefreshElementForEachOutcome)
{
    const UpgradeQuery plain{"url=../p.html", 0, RESTORE_NONE}, odd{"url=x\">", '#', RESTORE_SETTINGS};
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
    EXPECT_EQ(page(0, odd, "a\"b\x01\x1F\x7F\x80\xFF", "a&b#c%d+e\"f g<'>=;/?:@!$()*,~"),
              head + "url=x&#34;>?type=a%22b%01%1F%7F%80%FF&name=a%26b%23c%25d%2Be%22f%20g<'>=;/?:@!$()*,~" +
                  "&port=%23" + tail);
}
