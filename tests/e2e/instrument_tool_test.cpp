// The instrument tool: init and show on each chip and board, a refused init, a disagreeing sum, the record chain.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/web_instrument.h"

using quibtest::be32, quibtest::instrument;

TEST(InstrumentTool, InitThenShowOnEachChipAndBoardOrRefused)
{
    // init's options after the root; pieces of show's text and JSON
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"--flash", "0xC8"},
         {"FLASH_ADD_LOADER       0x3B0000  -           sector 59  outside the chip",
          "Product parameter sector: none, the 2 MiB chip ends at 0x200000\n"}},
        {{"--flash", "0x93", "--loader-generation", "4"},
         {"FLASH_ADD_PARAM_PROD   0x3D0000  0xFFFD0000  sector 61",
          R"("board":{"version":1,"loaderGeneration":4,"firmwareSectorCount":10,"loaderName":"LoaderCINT_v4")"}},
        {{"--flash", "0xA3", "--loader-generation", "3"},
         {"FLASH_ADD_VERSFIRMW    0x39FF80  0xFFF9FF80  sector 57",
          R"("loaderGeneration":3,"firmwareSectorCount":8,)"}},
        {{"--flash", "0x53", "--board", "2"},
         {"FLASH_ADD_WEB          0x1B0000  0xFFDB0000  sector 27",
          R"("board":{"version":2,"loaderGeneration":null,)"}},
    };
    for (const auto& [options, pieces] : cases) {
        quibtest::TempRoot tmp;
        const std::string root = tmp.path() + "/inst";
        std::vector<std::string> args = {"init", root};
        args.insert(args.end(), options.begin(), options.end());
        const auto init = instrument(args);
        ASSERT_EQ(init.status, 0) << init.err;
        EXPECT_TRUE(init.out.starts_with("chip: ") && init.out.find("\nboard report: ") != std::string::npos)
            << init.out;
        EXPECT_EQ(std::filesystem::file_size(root + "/flash/nor.img"), options[1] == "0xC8" ? 0x200000u : 0x400000u);
        const std::string shown = instrument({"show", root}).out + instrument({"show", root, "--json"}).out;
        EXPECT_NE(shown.find("flash chip: code " + options[1]), std::string::npos) << shown;
        for (const auto& piece : pieces)
            EXPECT_NE(shown.find(piece), std::string::npos) << piece << "\nin:\n" << shown;
    }
    // The loader lies beyond the small chip: refused, and nothing of the root is left.
    quibtest::TempRoot tmp;
    const auto init = instrument({"init", tmp.path() + "/inst", "--flash", "0xC8", "--loader-generation", "4"});
    EXPECT_NE(init.err.find("outside"), std::string::npos) << init.err;
    EXPECT_TRUE(init.status != 0 && init.out.empty() && !tmp.exists("/inst")) << init.out;
}

TEST(InstrumentTool, ShowsADisagreeingSumAndTheRecordChainAndChangesNothing)
{
    quibtest::TempRoot tmp;
    const std::string root = tmp.path() + "/inst";
    ASSERT_EQ(instrument({"init", root}).status, 0);
    auto pack = [](uint8_t status, uint8_t id, const std::string& data) {
        return std::string {char(status), char(id), char(data.size() >> 8), char(data.size())} + data;
    };
    auto row = [](uint32_t flag, std::string text) {
        text.resize(92, '\0');
        return be32(flag) + text;
    };
    std::fstream chip(root + "/flash/nor.img", std::ios::in | std::ios::out | std::ios::binary);
    chip.seekp(0x300000) << be32(3) + be32(1) + "abc";
    // What cut saves leave: an obsolete and a half-written pack, two valid packs of an id, a torn header.
    chip.seekp(0x3D0000) << pack(0xC0, 2, std::string(8, 'o')) + pack(0xFE, 7, "abc") +
                                pack(0xF8, 1, be32(1) + be32(0x11) + be32(0x22) + be32(0x33)) +
                                pack(0xF8, 2, be32(1) + row(1, "ifconfig en0 %s") + row(0, "bad\x01")) +
                                pack(0xF8, 7, "a") + pack(0xF8, 7, "b") + std::string("\xFF\x07\x00", 3);
    chip.close();
    const std::string before = tmp.read("/inst/flash/nor.img");
    const std::string shown = instrument({"show", root}).out + instrument({"show", root, "--json"}).out;
    for (const char* piece :
         {"recomputed byte sum over 3 bytes: 0x00000126, DIFFER\n",
          "Product parameter sector: sector 61 at 0x3D0000\n"
          "  0x3D0000  obsolete  id 2  length 8\n"
          "  0x3D000C  writing   id 7  length 3\n"
          "  0x3D0013  valid     id 1  length 16\n"
          "             product mode (format 1): 0x00000011 0x00000022 0x00000000\n"
          "  0x3D0027  valid     id 2  length 196\n"
          "             network commands (presence 1):\n"
          "              0  1  \"ifconfig en0 %s\"\n"
          "              1  0  \"bad\\x01\"\n"
          "              2  0  \"\"\n",
          "             18  0  \"\"\n"
          "  0x3D00EF  valid     id 7  length 1\n"
          "  0x3D00F4  valid     id 7  length 1\n"
          "  0x3D00F9  torn      (a cut inside a header: the next save takes it over or seals it)\n"
          "  id 7: 2 valid packs (a save was cut before it retired the older); loads take the last\n",
          R"("id":1,"length":16,"version":1,"productMode":[17,34,0]},)",
          R"({"offset":3997945,"status":"torn","statusByte":255}],"multipleValid":[7]},)"})
        EXPECT_NE(shown.find(piece), std::string::npos) << piece << "\nin:\n" << shown;
    EXPECT_TRUE(tmp.read("/inst/flash/nor.img") == before);
    EXPECT_NE(instrument({"show", tmp.path() + "/missing"}).status, 0);

    // Planted in the root, a FIFO (a plain open waits for a writer for ever) or a link is not read: among
    // the drive's files it is not listed; in place of nor.conf it leaves no chip to show.
    ASSERT_EQ(mkfifo((root + "/NANDdrive/firm/F_fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((root + "/flash/nor.img").c_str(), (root + "/NANDdrive/firm/F_link").c_str()), 0);
    const auto listed = instrument({"show", root, "--json"});
    EXPECT_NE(listed.out.find(R"("nandFiles":[],)"), std::string::npos) << listed.out;
    std::filesystem::remove(root + "/flash/nor.conf");
    ASSERT_EQ(mkfifo((root + "/flash/nor.conf").c_str(), 0600), 0);
    EXPECT_NE(instrument({"show", root}).status, 0);
}
