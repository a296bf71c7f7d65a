#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_root.h"
#include "tools/state/json_check.h"
#include "tools/state/log_tail.h"
#include "tools/state/state_report.h"

TEST(StateJson, AcceptsOnlyWholeDocuments)
{
    struct Case {
        const char* text;
        bool document;
        bool object;
    };
    const Case cases[] = {
        {"{}", true, true},
        {" {\"a\":[1,-2.5e+3,true,false,null,\"x\\u00e9\\n\"]}\n", true, true},
        {"[{\"a\":{}}]", true, false},
        {"", false, false},
        {"{\"a\":1", false, false},           // cut off
        {"{\"a\":1}}", false, false},         // trailing garbage
        {"{\"a\":1,}", false, false},         // trailing comma
        {"[1,]", false, false},               // trailing comma
        {"[{\"a\":1]}", false, false},        // closed by the wrong bracket
        {"{a:1}", false, false},              // bare key
        {"{\"a\":\"\t\"}", false, false},     // raw control character
        {"{\"a\":\"\\x\"}", false, false},    // bad escape
    };
    for (const auto& c : cases) {
        EXPECT_EQ(state::isJsonDocument(c.text), c.document) << c.text;
        EXPECT_EQ(state::isJsonObject(c.text), c.object) << c.text;
    }
    // Hostile nesting is refused, not a stack overflow.
    EXPECT_FALSE(state::isJsonDocument(std::string(100000, '[') + std::string(100000, ']')));
}

TEST(StateLogTail, KeepsOnlyWholeLinesOfTheWindow)
{
    quibtest::TempRoot root;
    struct Case {
        const char* content;
        size_t maxLines;
        size_t maxBytes;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"a\nb\nc\n", 10, 100, {"a", "b", "c"}},
        {"a\nb\nc\n", 2, 100, {"b", "c"}},
        {"a\nb\nhalf", 10, 100, {"a", "b"}},       // the peer is still writing its line
        {"aaaa\nbb\ncc\n", 10, 8, {"bb", "cc"}},    // the window starts inside "aaaa"
        {"aaaa\nbb\ncc\n", 10, 7, {"bb", "cc"}},    // ... or on its newline
        {"aaaa\nbb\ncc\n", 10, 6, {"cc"}},          // at "bb": it may be the end of a line
        {"aaaa\n", 10, 3, {}},
        {"\n\nx\n\n", 10, 100, {"x"}},
        {"", 10, 100, {}},
    };
    for (const auto& c : cases) {
        root.write("/var/log/peers.jsonl", c.content);
        EXPECT_EQ(state::tailLines(root.host("/var/log/peers.jsonl"), c.maxLines, c.maxBytes),
                  c.want)
            << c.content << " / " << c.maxBytes;
    }
    EXPECT_TRUE(state::tailLines(root.host("/var/log/none.jsonl"), 10, 100).empty());
}

TEST(StateReport, IsOneObjectWhateverTheToolPrinted)
{
    struct Case {
        state::ShowRun show;
        const char* wantShow;   // the "show" member as it must appear
        const char* wantError;  // a piece of "showError", or nullptr for null
    };
    const Case cases[] = {
        {{true, false, 0, " {\"chip\":{\"code\":147}}\n", ""}, "\"show\":{\"chip\":{\"code\":147}}",
         nullptr},
        {{true, false, 1, "{\"chip\":{}}", "no flash/nor.img\n"}, "\"show\":{\"chip\":{}}",
         "status 1: no flash/nor.img"},
        {{true, false, 0, "{\"chip\":{", ""}, "\"show\":null", "no JSON object"},
        {{true, true, 137, "", ""}, "\"show\":null", "too long"},
        {{false, false, -1, "", "instrument: No such file"}, "\"show\":null", "could not be run"},
    };
    for (const auto& c : cases) {
        std::string body =
            state::stateBody("/r", c.show, {"{\"peer\":\"loader\"}", "cut \"off"}, "null");
        EXPECT_TRUE(state::isJsonObject(body)) << body;
        EXPECT_NE(body.find(c.wantShow), std::string::npos) << body;
        if (c.wantError)
            EXPECT_NE(body.find(c.wantError), std::string::npos) << body;
        else
            EXPECT_NE(body.find("\"showError\":null"), std::string::npos) << body;
        EXPECT_NE(body.find("\"peersLog\":[\"{\\\"peer\\\":\\\"loader\\\"}\",\"cut \\\"off\"]"),
                  std::string::npos)
            << body;
        EXPECT_NE(body.find(",\"progress\":null}"), std::string::npos) << body;
    }
}

TEST(StateProgress, OnlyAWholeRecordIsPassedOn)
{
    const std::string numbers = "done=3\ntotal=10\nstarted=1700000000\ntime=1700000004\n";
    struct Case {
        std::string text;
        const char* want;
    };
    const Case cases[] = {
        {"phase=erasing\n" + numbers + "file=FrmWCINT_a.bin\n",
         R"({"phase":"erasing","done":3,"total":10,"started":1700000000,"time":1700000004,"file":"FrmWCINT_a.bin"})"},
        {"phase=checking\n" + numbers + "file=a\nb \"c\n",  // the name runs to the end
         R"({"phase":"checking","done":3,"total":10,"started":1700000000,"time":1700000004,"file":"a\nb \"c"})"},
        {"", "null"},
        {"phase=erasing\n" + numbers + "file=cut", "null"},
        {"phase=resting\n" + numbers + "file=a\n", "null"},
        {"phase=erasing\ndone=-3\ntotal=10\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\ndone=3\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\n" + numbers + "extra=1\nfile=a\n", "null"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(state::progressJson(c.text), c.want) << c.text;
}
