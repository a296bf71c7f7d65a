// upgrade.cgi when the power goes during a write, and under concurrent uploads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/upgrade_support.h"

using quibtest::be32;
using quibtest::byteSum;
using quibtest::Instrument;
using quibtest::pattern;

namespace {

constexpr uint32_t kSector = 0x10000;
constexpr uint32_t kFirm = 48 * kSector, kFirmEnd = 58 * kSector;

// The regions' entries of `instrument show --json`, one string each.
std::string regionJson(const std::string& show, const std::string& name)
{
    const size_t b = show.find("{\"name\":\"" + name + "\"");
    if (b == std::string::npos)
        return "";
    const size_t e = show.find("{\"name\":", b + 1);
    return show.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

}  // namespace

TEST(UpgradeE2eFaults, PowerCutDuringTheImageWriteLeavesAnErasedHeaderOnly)
{
    Instrument inst({.board = 1, .loaderGeneration = 4});
    inst.servePeers();
    ASSERT_EQ(post(inst, "", {"FrmWCINT_A.bin", pattern(100000, 1)}).refresh(),
              "url=../index.html?type=FirmwareCINT&name=FrmWCINT_A.bin");
    EXPECT_NE(regionJson(inst.showJson(), "firmware10").find("\"agree\":true"), std::string::npos);
    const std::string before = inst.chip();

    // The power goes after 30008 bytes of the new image: its header comes last.
    inst.write("/flash/nor.conf", "code=0x93\npower_cut_after=30008\n");
    const std::string b = pattern(100000, 2);
    EXPECT_EQ(post(inst, "", {"FrmWCINT_B.bin", b}).refresh(), "");

    const std::string after = inst.chip();
    EXPECT_TRUE(after.substr(kFirm, 8 + 30008) == std::string(8, '\xFF') + b.substr(0, 30008));
    EXPECT_TRUE(after.substr(0, kFirm) == before.substr(0, kFirm));
    EXPECT_TRUE(after.substr(kFirmEnd) == before.substr(kFirmEnd));
    const std::string region = regionJson(inst.showJson(), "firmware10");
    EXPECT_NE(region.find("\"state\":\"erased\""), std::string::npos) << region;
    EXPECT_NE(region.find("\"version\":{\"offset\":3800960,\"state\":\"erased\"}"), std::string::npos)
        << region;
    // Only the spooled upload of the killed run and its progress file are left
    // (the instrument's /tmp does not survive the power); the lock went with
    // the process.
    const auto left = inst.leftovers();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(inst.read(left[0]) == b);
    EXPECT_EQ(left[1], "/tmp/upgrade.progress");
    EXPECT_EQ(inst.read(left[1]).substr(0, 18), "phase=programming\n");
    inst.write("/flash/nor.conf", "code=0x93\n");
    for (const auto& f : left)
        std::remove(inst.host(f).c_str());
    EXPECT_EQ(post(inst, "", {"FrmWCINT_C.bin", pattern(70000, 3)}).refresh(),
              "url=../index.html?type=FirmwareCINT&name=FrmWCINT_C.bin");
    EXPECT_NE(regionJson(inst.showJson(), "firmware10").find("\"agree\":true"), std::string::npos);
}

TEST(UpgradeE2eFaults, ConcurrentFirmwareUploadsNeverInterleave)
{
    Instrument inst({.board = 1, .loaderGeneration = 4});
    inst.servePeers();
    constexpr int kUploads = 8;
    std::vector<std::string> names, images, pages(kUploads);
    for (int i = 0; i < kUploads; ++i) {
        names.push_back("FrmWCINT_c" + std::to_string(i) + ".bin");
        images.push_back(pattern(65536 + 23456 * i, 10 + i));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kUploads; ++i) {
        threads.emplace_back(
            [&, i] { pages[i] = post(inst, "", {names[i], images[i]}).refresh(); });
    }
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kUploads; ++i)
        EXPECT_EQ(pages[i], "url=../index.html?type=FirmwareCINT&name=" + names[i]);

    const std::string chip = inst.chip();
    int winner = -1;
    for (int i = 0; i < kUploads; ++i) {
        if (chip.substr(kFirm, 4) == be32(static_cast<uint32_t>(images[i].size())))
            winner = i;
    }
    ASSERT_GE(winner, 0);
    const std::string& img = images[winner];
    std::string region = chip.substr(kFirm, kFirmEnd - kFirm);
    EXPECT_TRUE(region.substr(4, 4 + img.size()) == be32(byteSum(img)) + img);
    EXPECT_EQ(region.substr(region.size() - 128, 32),
              names[winner].substr(0, 11) + std::string(21, '\0'));
    region.replace(region.size() - 128, 32, 32, '\xFF');
    EXPECT_EQ(region.find_first_not_of('\xFF', 8 + img.size()), std::string::npos);
    EXPECT_EQ(inst.leftovers(), std::vector<std::string>{});
}
