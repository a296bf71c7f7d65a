// state.cgi's report, part by part: only a whole JSON object from the tool,
// whole lines of the peers' log and a whole progress record reach the page.
#include <gtest/gtest.h>

#include "tests/support/temp_root.h"
#include "tools/state/json_check.h"
#include "tools/state/log_tail.h"
#include "tools/state/state_report.h"

TEST(StateReport, IsOneObjectWhateverTheToolPrinted)
{
    struct Case { state::ShowRun show; const char* want; const char* error; };
    const Case cases[] = {
        {{true, false, 0, " {\"chip\":{\"code\":147}}\n", ""}, "\"show\":{\"chip\":{\"code\":147}}", "Error\":null"},
        {{true, false, 1, "{\"chip\":{}}", "no flash/nor.img\n"}, "\"show\":{\"chip\":{}}", "status 1: no flash/nor.img\""},
        {{true, false, 0, "{\"chip\":{", ""}, "\"show\":null", "no JSON object"},
        {{true, false, 0, "{\"a\":1}}", ""}, "\"show\":null", "no JSON object"},
        {{true, false, 0, "[{\"a\":1}]", ""}, "\"show\":null", "no JSON object"},
        {{true, false, 0, "{\"a\":" + std::string(200, '[') + std::string(200, ']') + "}", ""}, "\"show\":null", "no JSON object"},
        {{true, true, 137, "", ""}, "\"show\":null", "too long"},
        {{false, false, -1, "", "instrument: No such file"}, "\"show\":null", "could not be run: instrument: No such file"},
    };
    for (const auto& c : cases) {
        const std::string body = state::stateBody("/r", c.show, {"{\"peer\":\"loader\"}", "cut \"off"}, "null");
        EXPECT_TRUE(state::isJsonObject(body)) << body;
        EXPECT_NE(body.find(c.want), std::string::npos) << body;
        EXPECT_NE(body.find(c.error), std::string::npos) << body;
        EXPECT_NE(body.find("\"peersLog\":[\"{\\\"peer\\\":\\\"loader\\\"}\",\"cut \\\"off\"],\"progress\":null}"),
                  std::string::npos) << body;
    }
}

TEST(StateReport, KeepsOnlyWholeLinesAndRecords)
{
    quibtest::TempRoot root;
    struct Tail { const char* log; size_t maxLines, maxBytes; std::vector<std::string> want; };
    const Tail tails[] = {
        {"a\nb\nc\n", 2, 100, {"b", "c"}},
        {"a\n\nb\nhalf", 10, 100, {"a", "b"}},   // the peer is still writing its line
        {"aaaa\nbb\ncc\n", 10, 7, {"bb", "cc"}},  // the window starts on a newline
        {"aaaa\nbb\ncc\n", 10, 6, {"cc"}},        // ... or at "bb": maybe the end of a line
    };
    for (const auto& c : tails) {
        root.write("/var/log/peers.jsonl", c.log);
        EXPECT_EQ(state::tailLines(root.host("/var/log/peers.jsonl"), c.maxLines, c.maxBytes), c.want) << c.log;
    }
    EXPECT_TRUE(state::tailLines(root.host("/var/log/none.jsonl"), 10, 100).empty());

    const std::string numbers = "done=3\ntotal=10\nstarted=1700000000\ntime=1700000004\n";
    const std::pair<std::string, const char*> records[] = {
        {"phase=erasing\n" + numbers + "file=a\nb \"c\n",  // the name runs to the end
         R"({"phase":"erasing","done":3,"total":10,"started":1700000000,"time":1700000004,"file":"a\nb \"c"})"},
        {"phase=erasing\n" + numbers + "file=cut", "null"},
        {"phase=resting\n" + numbers + "file=a\n", "null"},
        {"phase=erasing\ndone=-3\ntotal=10\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\ndone=3\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\n" + numbers + "extra=1\nfile=a\n", "null"},
    };
    for (const auto& [text, want] : records)
        EXPECT_EQ(state::progressJson(text), want) << text;
}
