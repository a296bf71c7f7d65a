// upgrade.cgi behind lighttpd: one upload per kind of target, the same-site check, the lock between processes.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/web_instrument.h"

using quibtest::be32, quibtest::pattern, quibtest::post, quibtest::WebInstrument;
using Files = std::vector<std::string>;

namespace {
constexpr uint32_t kFirm = 48 * 0x10000, kFirmEnd = 58 * 0x10000;
const Files kLockOnly = {"upgrade.lock"};  // what requests leave in tmp/
}  // namespace

TEST(UpgradeWeb, EachKindOfTargetReceivesTheUpload)
{
    const std::string firmware = pattern(100000, 1), done = "url=../index.html?type=FirmwareCINT&name=FrmWCINT_2.bin";
    WebInstrument nor, nand(2);  // NOR image regions; the NAND drive
    const std::string erased = nor.chip(), nandChip = nand.chip();
    EXPECT_EQ(post(nor, "FrmWCINT_2.bin", firmware, {"Origin: http://evil.example"}).refresh(),
              "url=../index.html?error=2009&version=v2.11");
    EXPECT_TRUE(nor.chip() == erased);
    const auto reply = post(nor, "FrmWCINT_2.bin", firmware, {"Origin: " + nor.server.url("")});
    EXPECT_EQ(reply.refresh(), done);
    // The result page is never taken from a cache.
    EXPECT_TRUE(reply.headers.starts_with("HTTP/1.1 200 OK\r\n")) << reply.headers;
    EXPECT_NE(reply.headers.find("Cache-Control: no-cache, no-store, must-revalidate, post-check=0, pre-check=0\r\n"),
              std::string::npos) << reply.headers;
    EXPECT_TRUE(nor.chip().substr(kFirm + 8, firmware.size()) == firmware);
    // A DSP image: the loader service is told where the upload lies.
    EXPECT_EQ(post(nor, "FrmWDSP_1.hex", pattern(5000)).refresh(),
              "url=../index.html?type=FirmwareDSP&name=FrmWDSP_1.hex");
    ASSERT_EQ(nor.loader.received().size(), 1u);
    const std::string message = nor.loader.received()[0];
    EXPECT_TRUE(message.substr(4).starts_with(nor.host("/tmp/")) && message.ends_with(",FrmWDSP_1.hex")) << message;
    // The NAND drive takes a copy, the chip is left alone.
    EXPECT_EQ(post(nand, "FrmWCINT_2.bin", firmware).refresh(), done);
    EXPECT_EQ(nand.list("/NANDdrive/firm"), Files {"FrmWCINT_2.bin"});
    EXPECT_TRUE(nand.read("/NANDdrive/firm/FrmWCINT_2.bin") == firmware && nand.chip() == nandChip);
    EXPECT_EQ(nor.list("/tmp"), kLockOnly);
    EXPECT_EQ(nand.list("/tmp"), kLockOnly);
}

// Concurrent writers take turns on the chip; one that dies (the power goes) leaves no lock holding up the next.
TEST(UpgradeWeb, TheLockSerialisesWritersAndDiesWithThem)
{
    WebInstrument inst;
    constexpr int kUploads = 8;
    std::vector<std::string> images(kUploads), pages(kUploads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kUploads; ++i) {
        images[i] = pattern(65536 + 23456 * i, 10 + i);
        threads.emplace_back([&, i] { pages[i] = post(inst, "FrmWCINT_" + std::to_string(i), images[i]).refresh(); });
    }
    for (auto& t : threads)
        t.join();
    const std::string region = inst.chip().substr(kFirm, kFirmEnd - kFirm);
    int last = -1;
    for (int i = 0; i < kUploads; ++i) {
        EXPECT_EQ(pages[i], "url=../index.html?type=FirmwareCINT&name=FrmWCINT_" + std::to_string(i));
        last = region.starts_with(be32(uint32_t(images[i].size()))) ? i : last;
    }
    ASSERT_GE(last, 0);
    // The last writer's image and version block whole, nothing of the others.
    std::string want = be32(uint32_t(images[last].size())) + be32(quibtest::byteSum(images[last])) + images[last];
    want.resize(region.size(), '\xFF');
    want.replace(want.size() - 128, 32, "FrmWCINT_" + std::to_string(last) + std::string(22, '\0'));
    EXPECT_TRUE(region == want);
    EXPECT_EQ(inst.list("/tmp"), kLockOnly);

    inst.write("/flash/nor.conf", "code=0x93\npower_cut_after=30000\n");
    EXPECT_EQ(post(inst, "FrmWCINT_cut", images[0]).refresh(), "");
    inst.write("/flash/nor.conf", "code=0x93\n");
    EXPECT_EQ(post(inst, "FrmWCINT_next", images[1]).refresh(),
              "url=../index.html?type=FirmwareCINT&name=FrmWCINT_next");
    EXPECT_TRUE(inst.chip().substr(kFirm + 8, images[1].size()) == images[1]);
}
