// The progress file: what it says, how often it is rewritten, and that the
// firmware writer reports through it but never depends on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unistd.h>

#include "flash/Flash_Drv.h"
#include "loader/LoaderCommun.h"
#include "tests/support/chip_root.h"
#include "tests/support/image_bytes.h"
#include "upgrade/progress.h"
#include "upgrade/upgrade_internal.h"

namespace {

// "phase done/total file" from the file, or "none".
std::string progressFile(const quibtest::TempRoot& root)
{
    if (!root.exists(UPG_PROGRESS_PATH))
        return "none";
    const std::string text = root.read(UPG_PROGRESS_PATH);
    auto value = [&text](const std::string& key) {
        const size_t at = text.find("\n" + key + "=") + key.size() + 2;
        return text.substr(at, text.find('\n', at) - at);
    };
    return text.substr(6, text.find('\n') - 6) + " " + value("done") + "/" + value("total") + " " +
           value("file") + (value("started").empty() || value("time").empty() ? " no time" : "");
}

}  // namespace

TEST(UpgradeProgress, RewrittenPerPhasePerStepAtMostFiveTimesASecond)
{
    quibtest::TempRoot root;
    root.write("/tmp/.keep", "");
    upgrade_progress(UPG_PHASE_ERASING, 1, 10);  // before begin: nothing
    EXPECT_EQ(progressFile(root), "none");
    upgrade_progress_begin("F.bin");
    EXPECT_EQ(progressFile(root), "checking 0/0 F.bin");
    struct Step {
        int waitMs;
        UpgradePhase phase;
        long long done, total;
        const char* want;  // what the file says afterwards
    };
    const Step steps[] = {
        {0, UPG_PHASE_ERASING, 1, 10, "erasing 1/10"},
        {0, UPG_PHASE_ERASING, 2, 10, "erasing 1/10"},  // too soon
        {210, UPG_PHASE_ERASING, 3, 10, "erasing 3/10"},
        {0, UPG_PHASE_PROGRAMMING, 1024, 200000, "programming 1024/200000"},  // a new phase
        {210, UPG_PHASE_PROGRAMMING, 65535, 200000, "programming 1024/200000"},  // same 64 KiB
        {0, UPG_PHASE_PROGRAMMING, 65536, 200000, "programming 65536/200000"},
        {0, UPG_PHASE_PROGRAMMING, 140000, 200000, "programming 65536/200000"},  // too soon
    };
    for (const Step& s : steps) {
        usleep(s.waitMs * 1000);
        upgrade_progress(s.phase, s.done, s.total);
        EXPECT_EQ(progressFile(root), std::string(s.want) + " F.bin") << s.done;
    }
    upgrade_progress_end();
    EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{".keep"});
}

TEST(UpgradeProgress, TheFirmwareWriterReportsProgrammingAndNeverDependsOnIt)
{
    for (bool blocked : {false, true}) {
        quibtest::ChipRoot root;
        root.write("/tmp/quibImg", quibtest::pattern(200000));
        if (blocked)  // a directory in the temporary name's place makes every update fail
            root.write("/tmp/upgrade.progress.tmp/x", "");
        ASSERT_EQ(F_FlashDrv_Init(), 0);
        S_EtatLoader.boardVersion = 1;
        S_EtatLoader.firmwareSectorCount = 10;
        upgrade_progress_begin("F.bin");
        ASSERT_EQ(flash_firmware("F.bin", root.host("/tmp/quibImg").c_str()), 0);
        const std::string said = progressFile(root);
        EXPECT_EQ(said.substr(0, 12) + said.substr(std::min(said.find('/'), said.size())),
                  blocked ? "none" : "programming /200000 F.bin");
        upgrade_progress_end();
        EXPECT_EQ(progressFile(root), "none");
        EXPECT_EQ(root.list("/tmp"), std::vector<std::string>{"quibImg"});
    }
}
