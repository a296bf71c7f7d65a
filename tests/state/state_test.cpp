// state.cgi's report: only a whole JSON object, whole log lines and a whole progress record reach the page.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/temp_root.h"
#include "tools/state/json_check.h"
#include "tools/state/log_tail.h"
#include "tools/state/state_report.h"

TEST(StateReport, IsOneObjectWhateverTheToolPrinted)
{
    auto ran = [](int status, std::string out, std::string err = "") {
        return state::ShowRun {true, false, status, std::move(out), std::move(err)};
    };
    const std::string nested = "{\"a\":" + std::string(200, '[') + std::string(200, ']') + "}";
    const std::pair<state::ShowRun, const char*> cases[] = {
        {ran(0, " {\"chip\":{\"code\":147}}\n"), R"("show":{"chip":{"code":147}},"showError":null)"},
        {ran(1, "{}", "no flash/nor.img\n"), R"("show":{},"showError":"instrument show ended with status 1: no)"},
        {ran(0, "{\"chip\":{"), R"("show":null,"showError":"instrument show printed no JSON object")"},
        {ran(0, "{\"a\":1}}"), "printed no JSON object"},
        {ran(0, "[{\"a\":1}]"), "printed no JSON object"},
        {ran(0, nested), "printed no JSON object"},
        {{true, true, 137, "", ""}, R"("show":null,"showError":"instrument show took too long and was stopped")"},
        {{false, false, -1, "", "No such file"}, "instrument show could not be run: No such file\""},
    };
    for (const auto& [show, want] : cases) {
        const std::string body = state::stateBody("/r", show, {"{}", "cut \"off"}, "null");
        EXPECT_TRUE(state::isJsonObject(body)) << body;
        EXPECT_NE(body.find(want), std::string::npos) << body;
        EXPECT_TRUE(body.ends_with(R"(,"peersLog":["{}","cut \"off"],"progress":null})")) << body;
    }
}

TEST(StateReport, KeepsOnlyWholeLinesAndRecords)
{
    quibtest::TempRoot root;
    struct Tail { const char* log; size_t maxLines, maxBytes; std::vector<std::string> want; };
    const Tail tails[] = {
        {"a\nb\nc\n", 2, 100, {"b", "c"}},
        {"a\n\nb\nhalf", 10, 100, {"a", "b"}},    // the peer is still writing its line
        {"aaaa\nbb\ncc\n", 10, 7, {"bb", "cc"}},  // the window starts on a newline
        {"aaaa\nbb\ncc\n", 10, 6, {"cc"}},        // ... or at "bb": maybe the end of a line
    };
    for (const auto& c : tails) {
        root.write("/var/log/peers.jsonl", c.log);
        EXPECT_EQ(state::tailLines(root.host("/var/log/peers.jsonl"), c.maxLines, c.maxBytes), c.want)
            << c.log;
    }
    EXPECT_TRUE(state::tailLines(root.host("/var/log/none.jsonl"), 10, 100).empty());

    const std::string numbers = "done=3\ntotal=10\nstarted=17\ntime=18\n";
    const std::pair<std::string, const char*> records[] = {
        {"phase=erasing\n" + numbers + "file=a%0Ab%20%22c%2\n",  // a cut escape stays as it is
         R"({"phase":"erasing","done":3,"total":10,"started":17,"time":18,"file":"a\nb \"c%2"})"},
        {"phase=erasing\n" + numbers + "file=cut", "null"},
        {"phase=resting\n" + numbers + "file=a\n", "null"},
        {"phase=erasing\ndone=-3\ntotal=10\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\ndone=3\nstarted=1\ntime=1\nfile=a\n", "null"},
        {"phase=erasing\n" + numbers + "extra=1\nfile=a\n", "null"},
    };
    for (const auto& [text, want] : records)
        EXPECT_EQ(state::progressJson(text), want) << text;

    // A FIFO (a plain open waits for a writer for ever) or a link put at either name is not read.
    const std::string record = "phase=erasing\n" + numbers + "file=a\n", elsewhere = root.host("/elsewhere");
    root.write("/elsewhere", record);
    ASSERT_NE(state::progressFileJson(elsewhere, 4096), "null");
    root.write("/var/log/peers.jsonl", "");
    for (const char* name : {"/var/log/peers.jsonl", "/tmp/upgrade.progress"}) {
        const std::string path = root.host(name);
        for (bool fifo : {true, false}) {
            unlink(path.c_str());
            ASSERT_EQ(fifo ? mkfifo(path.c_str(), 0600) : symlink(elsewhere.c_str(), path.c_str()), 0);
            EXPECT_TRUE(state::tailLines(path, 10, 100).empty() && state::progressFileJson(path, 4096) == "null")
                << name << (fifo ? " as a FIFO" : " as a link");
        }
    }
}
