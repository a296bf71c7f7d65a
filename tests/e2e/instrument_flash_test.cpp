// instrument init and the flash section of instrument show, run as programs.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/e2e/upgrade_support.h"

using quibtest::be32;
using quibtest::instrument;
using quibtest::writeAt;

TEST(InstrumentFlash, InitThenShowOnEachChip)
{
    struct Case {
        const char* code;
        uintmax_t size;
        const char* mapLine;
    };
    for (const Case& c : {Case{"0xC8", 0x200000, "FLASH_ADD_LOADER       0x3B0000  -           sector 59  outside the chip"},
                          Case{"0x93", 0x400000, "FLASH_ADD_PARAM_PROD   0x3D0000  0xFFFD0000  sector 61"},
                          Case{"0xA3", 0x400000, "FLASH_ADD_VERSFIRMW    0x39FF80  0xFFF9FF80  sector 57"},
                          Case{"0x53", 0x400000, "FLASH_ADD_WEB          0x1B0000  0xFFDB0000  sector 27"}}) {
        SCOPED_TRACE(c.code);
        quibtest::TempRoot tmp;
        const std::string root = tmp.path() + "/inst";
        auto init = instrument({"init", root, "--flash", c.code});
        ASSERT_EQ(init.status, 0) << init.err;
        EXPECT_EQ(std::filesystem::file_size(root + "/flash/nor.img"), c.size);
        EXPECT_EQ(tmp.read("/inst/flash/nor.conf"), std::string("code=") + c.code + "\n");

        auto show = instrument({"show", root});
        ASSERT_EQ(show.status, 0) << show.err;
        EXPECT_NE(show.out.find(std::string("flash chip: code ") + c.code), std::string::npos) << show.out;
        EXPECT_NE(show.out.find(c.mapLine), std::string::npos) << show.out;
        EXPECT_NE(show.out.find("web archive: sectors 27-47, header at 0x1B0000\n    header: erased"),
                  std::string::npos) << show.out;
    }
}

TEST(InstrumentFlash, ShowsHeadersSumsAndBlocks)
{
    quibtest::TempRoot tmp;
    const std::string root = tmp.path() + "/inst";
    ASSERT_EQ(instrument({"init", root}).status, 0);
    const std::string img = root + "/flash/nor.img";
    writeAt(img, 0x3B0000, be32(3) + be32(258) + "\xFF\x01\x02");
    writeAt(img, 0x3BFF00, std::string("LOADER : 1\0\xFF", 12));
    writeAt(img, 0x3BFF80, std::string("LoaderCINT_V4\0", 14));
    writeAt(img, 0x300000, be32(3) + be32(1) + "abc");  // stored sum wrong
    writeAt(img, 0x37FF80, "FrmWCINT_with_a_name_of_32_chars");
    const std::string before = tmp.read("/inst/flash/nor.img");

    auto text = instrument({"show", root});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* want : {
             "  CINT loader: sector 59, header at 0x3B0000\n"
             "    header: size 3 (0x00000003), byte sum 0x00000102\n"
             "    recomputed byte sum over 3 bytes: 0x00000102, agree\n"
             "    info block at 0x3BFF00: \"LOADER : 1\"\n"
             "    version block at 0x3BFF80: \"LoaderCINT_V4\"\n",
             "recomputed byte sum over 3 bytes: 0x00000126, DIFFER\n"
             "    version block at 0x39FF80: erased\n",
             "version block at 0x37FF80: \"FrmWCINT_with_a_name_of_32_chars\"\n",
         })
        EXPECT_NE(text.out.find(want), std::string::npos) << want << "\nin:\n" << text.out;

    auto json = instrument({"show", root, "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("{\"chip\":{\"code\":147,\"codeHex\":\"0x93\",\"size\":4194304,"), std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"storedSum\":258,\"computedSum\":258,\"summedBytes\":3,\"agree\":true,"),
              std::string::npos) << json.out;
    EXPECT_EQ(tmp.read("/inst/flash/nor.img"), before) << "show changes nothing";

    EXPECT_NE(instrument({"show", tmp.path() + "/missing"}).status, 0);
}
