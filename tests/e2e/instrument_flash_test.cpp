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

// The page shows an agreeing sum (the browser test); a disagreeing one, a
// missing root and the read-only promise are shown here.
TEST(InstrumentFlash, ShowsADisagreeingSumAndChangesNothing)
{
    quibtest::TempRoot tmp;
    const std::string root = tmp.path() + "/inst";
    ASSERT_EQ(instrument({"init", root}).status, 0);
    writeAt(root + "/flash/nor.img", 0x300000, be32(3) + be32(1) + "abc");
    const std::string before = tmp.read("/inst/flash/nor.img");
    auto text = instrument({"show", root});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("recomputed byte sum over 3 bytes: 0x00000126, DIFFER\n"), std::string::npos)
        << text.out;
    EXPECT_EQ(tmp.read("/inst/flash/nor.img"), before);
    EXPECT_NE(instrument({"show", tmp.path() + "/missing"}).status, 0);
}
