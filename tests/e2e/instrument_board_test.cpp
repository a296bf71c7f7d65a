// instrument init --board / --loader-generation, and the board section of
// instrument show, which runs the product's identification against the root.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/upgrade_support.h"

using quibtest::instrument;

TEST(InstrumentBoard, InitMakesWhatShowDetects)
{
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> nandFiles;
        const char* board;  // the "board" member of show --json
    };
    const Case cases[] = {
        {{"--board", "1", "--loader-generation", "4"}, {},
         R"({"version":1,"loaderGeneration":4,"firmwareSectorCount":10,"loaderName":"LoaderCINT_v4","firmwareName":""})"},
        {{"--loader-generation", "3"}, {},
         R"({"version":1,"loaderGeneration":3,"firmwareSectorCount":8,"loaderName":"LoaderCINT_v3",)"},
        {{"--board", "2", "--loader-generation", "4"}, {"LoaderCINT_v3.bin", "FrmWCINT_V2.bin"},
         R"({"version":2,"loaderGeneration":null,"firmwareSectorCount":0,"loaderName":"LoaderCINT_v3.bin","firmwareName":"FrmWCINT_V2.bin"})"},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot tmp;
        const std::string root = tmp.path() + "/inst";
        std::vector<std::string> args = {"init", root};
        args.insert(args.end(), c.options.begin(), c.options.end());
        auto init = instrument(args);
        ASSERT_EQ(init.status, 0) << init.err;
        // One line for each thing made: the chip, the board report, the loader.
        EXPECT_EQ(init.out.substr(0, 6), "chip: ") << init.out;
        EXPECT_NE(init.out.find("\nboard report: "), std::string::npos) << init.out;
        EXPECT_NE(init.out.find("\nloader image: generation "), std::string::npos) << init.out;
        for (const auto& f : c.nandFiles)
            tmp.write("/inst/NANDdrive/firm/" + f, "image");
        auto show = instrument({"show", root, "--json"});
        ASSERT_EQ(show.status, 0) << show.err;
        EXPECT_NE(show.out.find(std::string("\"board\":") + c.board), std::string::npos) << show.out;
        EXPECT_TRUE(tmp.list("/inst/tmp").empty());
    }
}

TEST(InstrumentBoard, LoaderOnTheSmallChipIsRefusedAndNothingIsLeft)
{
    quibtest::TempRoot tmp;
    auto init = instrument({"init", tmp.path() + "/inst", "--flash", "0xC8", "--loader-generation", "4"});
    EXPECT_NE(init.status, 0);
    EXPECT_NE(init.err.find("outside"), std::string::npos) << init.err;
    // Nothing of the half-made root is left, and nothing claims to be made.
    EXPECT_FALSE(tmp.exists("/inst"));
    EXPECT_EQ(init.out, "");
}
