// instrument show: the record chain of the product parameter sector.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/upgrade_support.h"

using quibtest::be32;
using quibtest::instrument;

namespace {

std::string pack(uint8_t status, uint8_t id, const std::string& data)
{
    const size_t n = data.size();
    return std::string{char(status), char(id), char(n >> 8), char(n)} + data;
}

std::string row(uint32_t flag, const std::string& text)
{
    std::string r = be32(flag) + text;
    r.resize(96, '\0');
    return r;
}

}  // namespace

TEST(InstrumentRecords, ShowsTheChainAndDecodesValidRecords)
{
    quibtest::TempRoot tmp;
    const std::string root = tmp.path() + "/inst";
    ASSERT_EQ(instrument({"init", root}).status, 0);
    const std::string chain = pack(0xC0, 2, std::string(8, 'o')) + pack(0xFE, 7, "abc") +
                              pack(0xF8, 1, be32(1) + be32(0x11) + be32(0x22) + be32(0x33)) +
                              pack(0xF8, 2, be32(1) + row(1, "ifconfig en0 %s") + row(0, "bad\x01"));
    quibtest::writeAt(root + "/flash/nor.img", 0x3D0000, chain);
    const std::string before = tmp.read("/inst/flash/nor.img");

    auto text = instrument({"show", root});
    ASSERT_EQ(text.status, 0) << text.err;
    const std::string want =
        "Product parameter sector: sector 61 at 0x3D0000\n"
        "  0x3D0000  obsolete  id 2  length 8\n"
        "  0x3D000C  writing   id 7  length 3\n"
        "  0x3D0013  valid     id 1  length 16\n"
        "             product mode (format 1): 0x00000011 0x00000022 0x00000000\n"
        "  0x3D0027  valid     id 2  length 196\n"
        "             network commands (presence 1):\n"
        "              0  1  \"ifconfig en0 %s\"\n"
        "              1  0  \"bad\\x01\"\n"
        "              2  0  \"\"\n";
    EXPECT_NE(text.out.find(want), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("             18  0  \"\"\n  0x3D00EF  free      (65297 bytes left in the sector)\n"),
              std::string::npos) << text.out;

    auto json = instrument({"show", root, "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"records\":{\"offset\":3997696,\"sector\":61,\"present\":true,\"packs\":["
                            "{\"offset\":3997696,\"status\":\"obsolete\",\"statusByte\":192,\"id\":2,\"length\":8},"),
              std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"status\":\"valid\",\"statusByte\":248,\"id\":1,\"length\":16,\"version\":1,"
                            "\"productMode\":[17,34,0]}"),
              std::string::npos) << json.out;
    EXPECT_EQ(tmp.read("/inst/flash/nor.img"), before) << "show changes nothing";

    const std::string small = tmp.path() + "/small";
    ASSERT_EQ(instrument({"init", small, "--flash", "0xC8"}).status, 0);
    text = instrument({"show", small});
    EXPECT_NE(text.out.find("Product parameter sector: none, the 2 MiB chip ends at 0x200000\n"), std::string::npos)
        << text.out;
    json = instrument({"show", small, "--json"});
    EXPECT_NE(json.out.find("\"records\":{\"offset\":3997696,\"sector\":61,\"present\":false,"), std::string::npos)
        << json.out;
}

// What a cut save can leave: two valid packs of an id, and a torn header.
TEST(InstrumentRecords, FlagsATornHeaderAndTwoValidPacksOfAnId)
{
    quibtest::TempRoot tmp;
    const std::string root = tmp.path() + "/inst";
    ASSERT_EQ(instrument({"init", root}).status, 0);
    quibtest::writeAt(root + "/flash/nor.img", 0x3D0000,
                      pack(0xF8, 7, "a") + pack(0xF8, 7, "b") + std::string("\xFF\x07\x00", 3));
    auto text = instrument({"show", root});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("  0x3D0000  valid     id 7  length 1\n"
                            "  0x3D0005  valid     id 7  length 1\n"
                            "  0x3D000A  torn      (a cut inside a header: the next save takes it over or seals it)\n"
                            "  id 7: 2 valid packs (a save was cut before it retired the older); loads take the last\n"),
              std::string::npos) << text.out;
    auto json = instrument({"show", root, "--json"});
    EXPECT_NE(json.out.find("{\"offset\":3997706,\"status\":\"torn\",\"statusByte\":255}],\"multipleValid\":[7]"),
              std::string::npos) << json.out;
}
