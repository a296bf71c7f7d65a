// upgrade.cgi route by route, as the instrument's pages use it: real uploads
// posted to the program, the peers served by `instrument peers`.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/upgrade_support.h"

using quibtest::byteSum;
using quibtest::Instrument;
using quibtest::pattern;
using quibtest::Upload;

namespace {

constexpr uint32_t kSector = 0x10000;
using Files = std::vector<std::string>;

}  // namespace

TEST(UpgradeE2e, NorBoardWritesEachImageIntoItsRegion)
{
    for (int generation : {3, 4}) {
        const uint32_t n = generation == 4 ? 10 : 8;
        Instrument inst({.board = 1, .loaderGeneration = generation});
        inst.servePeers();
        const std::string web = pattern(300000, 1), firm = pattern(100000, 2),
                          loader = pattern(4000, 3);
        EXPECT_EQ(post(inst, "url=../index.html", {"Web_2.1.tgz", web}).refresh(),
                  "url=../index.html?type=IHM&name=Web_2.1.tgz");
        EXPECT_EQ(post(inst, "", {"C:\\images\\FrmWCINT_V2.bin", firm}).refresh(),
                  "url=../index.html?type=FirmwareCINT&name=FrmWCINT_V2.bin");
        // Last: the new loader carries no marker, so later requests see generation 3.
        EXPECT_EQ(post(inst, "url=../up.html", {"LoaderCINT_L7.bin", loader}).refresh(),
                  "url=../up.html?type=LoaderCINT&name=LoaderCINT_L7.bin");

        // The regions' byte layout is tests/upgrade/upgrade_nor_test.cpp's part; here:
        // the chip file holds each image whole where `instrument show` looks for it.
        auto show = quibtest::instrument({"show", inst.path()});
        ASSERT_EQ(show.status, 0) << show.err;
        for (const std::string* img : {&web, &firm, &loader}) {
            char want[80];
            std::snprintf(want, sizeof want, "recomputed byte sum over %zu bytes: 0x%08X, agree",
                          img->size(), static_cast<unsigned>(byteSum(*img)));
            EXPECT_NE(show.out.find(want), std::string::npos) << want << "\nin:\n" << show.out;
        }
        // The generation that this process read from the loader places the version block.
        EXPECT_EQ(inst.chip().substr((48 + n) * kSector - 128, 32), "FrmWCINT_V2" + std::string(21, '\0'));
        EXPECT_EQ(inst.leftovers(), Files{});
        EXPECT_EQ(inst.peerLog().size(), 0u);
    }
}

TEST(UpgradeE2e, NandBoardCopiesImagesToTheDrive)
{
    Instrument inst({.board = 2, .loaderGeneration = 0});
    inst.servePeers();
    inst.write("/NANDdrive/firm/FrmWCINT_1.bin", "old firmware");
    const std::string erased = inst.chip();
    const std::string small = "tiny";  // no size limits on the drive
    EXPECT_EQ(post(inst, "", {"Web_9.tgz", small}).refresh(),
              "url=../index.html?type=IHM&name=Web_9.tgz");
    EXPECT_EQ(post(inst, "", {"FrmWCINT_2.bin", pattern(700000)}).refresh(),
              "url=../index.html?type=FirmwareCINT&name=FrmWCINT_2.bin");
    EXPECT_EQ(post(inst, "", {"LoaderCINT_2.bin", small}).refresh(),
              "url=../index.html?type=LoaderCINT&name=LoaderCINT_2.bin");
    EXPECT_EQ(inst.list("/NANDdrive/firm"), (Files{"FrmWCINT_2.bin", "LoaderCINT_2.bin", "Web.tar.gz"}));
    EXPECT_TRUE(inst.read("/NANDdrive/firm/FrmWCINT_2.bin") == pattern(700000));
    EXPECT_TRUE(inst.chip() == erased);
    EXPECT_EQ(inst.leftovers(), Files{});
    const std::string show = inst.showJson();
    EXPECT_NE(show.find("{\"name\":\"FrmWCINT_2.bin\",\"size\":700000"), std::string::npos) << show;
}

// The routes that hand the upload to a peer, with each answer the peers can
// give. Whatever the exchange does, the response stays well formed (the
// diagnostic line goes to the server's error log) and the flash is untouched.
TEST(UpgradeE2e, PeerRoutesAndTheirAnswers)
{
    const std::string dsp = pattern(5000), conf = "udp 1 239.0.0.1:5000\n",
                      settings = "# MMI settings\nQNX 6.3.2\n";
    const std::string err = "url=../index.html?error=", restore = "url=../index.html?restoresettingserror=";
    struct Case {
        std::vector<std::string> peers;
        const char* query;
        const char* name;
        std::string content;
        std::string want;
        std::vector<std::string> log;  // pieces of the one peers log line; none: no line
    };
    const Case cases[] = {
        {{}, "", "FrmWDSP_1.hex", dsp, "url=../index.html?type=FirmwareDSP&name=FrmWDSP_1.hex",
         {"\"peer\":\"loader\"", "\"kind\":\"dsp_image\"", "\"command\":4", "\"file\":\"FrmWDSP_1.hex\"", "\"size\":5000"}},
        {{}, "", "LoaderDSP_1.hex", dsp, "url=../index.html?type=LoaderDSP&name=LoaderDSP_1.hex",
         {"\"command\":3", "\"file\":\"LoaderDSP_1.hex\""}},
        {{"--loader-status", "1"}, "", "FrmWDSP_1.hex", dsp, err + "2004&version=v2.11", {"\"command\":4"}},
        {{"--loader-status", "2"}, "", "LoaderDSP_1.hex", dsp, err + "2005&version=v2.11", {"\"command\":3"}},
        {{"--loader-result", "5"}, "", "FrmWDSP_1.hex", dsp, err + "2005&version=v2.11", {"\"command\":4"}},
        {{"--loader-unserved"}, "", "FrmWDSP_1.hex", dsp, err + "2004&version=v2.11", {}},
        {{}, "udp_port=2", "Port2.TXT", conf, "url=../index.html?type=UDP&name=Port2.TXT&port=2",
         {"\"peer\":\"firmware\"", "\"kind\":\"udp_conf\"", "UDPConf2=Port2.TXT:", "\"size\":21"}},
        {{}, "udp_port=3&settings=1", "Backup.txt", conf, "url=../index.html?type=UDP&name=Backup.txt&port=3",
         {"UDPConf3=Backup.txt:"}},
        {{}, "url=../udp.html&udp_port=2", "config.ini", conf, "url=../udp.html?error=2003&version=v2.11&port=2", {}},
        {{"--firmware-status", "0"}, "udp_port=2", "a.txt", conf, err + "2006&version=v2.11&port=2", {"UDPConf2=a.txt:"}},
        {{"--firmware-unserved"}, "udp_port=2", "a.txt", conf, err + "2006&version=v2.11&port=2", {}},
        {{"--firmware-close"}, "udp_port=2", "a.txt", conf, err + "2003&version=v2.11&port=2", {"UDPConf2=a.txt:"}},
        {{}, "udp_port=&url=../x.html", "FrmWDSP_1.hex", conf, "url=../x.html?type=FirmwareDSP&name=FrmWDSP_1.hex",
         {"\"kind\":\"dsp_image\""}},
        {{}, "settings=1", "Backup.TXT", settings, restore + "0", {"\"kind\":\"restore_settings\"", "\"size\":25"}},
        {{}, "settings=1", "Backup.bin", settings, restore + "2003", {}},
        {{"--firmware-status", "0"}, "settings=1", "b.txt", settings, restore + "2006", {"\"kind\":\"restore_settings\""}},
        {{}, "models=1", "models.txt", "anything", restore + "0", {"\"kind\":\"restore_models\"", "\"size\":8"}},
        {{}, "settings=1&models=1", "models.txt", "anything", restore + "0", {"\"kind\":\"restore_models\""}},
        {{"--loader-unserved"}, "system=1", "sys.txt", "x", restore + "2006", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.query) + " " + c.name + " -> " + c.want);
        Instrument inst;
        inst.servePeers(c.peers);
        const std::string erased = inst.chip();
        const auto reply = post(inst, c.query, {c.name, c.content});
        EXPECT_EQ(reply.refresh(), c.want);
        EXPECT_EQ(reply.status, 200);
        EXPECT_NE(reply.headers.find("Cache-Control: no-cache, no-store, must-revalidate, "
                                     "post-check=0, pre-check=0\r\n"),
                  std::string::npos)
            << reply.headers;
        EXPECT_EQ(reply.page.rfind("<!DOCTYPE html PUBLIC", 0), 0u);
        EXPECT_EQ(inst.server().errorLog().find("alert(\"Erreur MsgSend\");") != std::string::npos,
                  c.peers == std::vector<std::string>{"--firmware-close"})
            << inst.server().errorLog();
        const auto log = inst.peerLog();
        ASSERT_EQ(log.size(), c.log.empty() ? 0u : 1u);
        for (const auto& piece : c.log)
            EXPECT_NE(log[0].find(piece), std::string::npos) << piece << " in " << log[0];
        EXPECT_TRUE(inst.chip() == erased);
        EXPECT_EQ(inst.leftovers(), Files{});
    }
}

TEST(UpgradeE2e, GpsConfigurationsAreStoredOnTheNandBoard)
{
    struct Case {
        int board;
        const char* name;
        size_t size;
        const char* want;
    };
    const Case cases[] = {
        {2, "gps_rtk.txt", 51200, "restoresettingserror=1"},
        {2, "gps_rtk.txt", 51201, "restoresettingserror=2008"},
        {1, "gps_rtk.txt", 100, "restoresettingserror=2003"},
        {2, "gps_rtk.dat", 100, "restoresettingserror=2003"},  // no settings restore instead
    };
    for (const auto& c : cases) {
        Instrument inst({.board = c.board, .loaderGeneration = 0});
        inst.servePeers();
        inst.write("/www/system/conf/gps_rtk.txt", "old");
        const std::string content = pattern(c.size);
        EXPECT_EQ(post(inst, "settings=1", {c.name, content}).refresh(),
                  std::string("url=../index.html?") + c.want)
            << c.name << " " << c.size;
        const bool stored = std::string(c.want).ends_with("=1");
        EXPECT_TRUE(inst.read("/www/system/conf/gps_rtk.txt") == (stored ? content : "old"));
        EXPECT_EQ(inst.list("/www/system/conf"), Files{"gps_rtk.txt"});
        EXPECT_EQ(inst.peerLog().size(), 0u);
        EXPECT_EQ(inst.leftovers(), Files{});
    }
}

TEST(UpgradeE2e, NamesAndPrefixesDecideTheRoute)
{
    Instrument inst;
    inst.servePeers();
    const std::string name127 = "FrmWDSP" + std::string(120, 'd');
    struct Case {
        Upload up;
        const char* query;
        std::string want;
    };
    const Case cases[] = {
        {{name127, "x"}, "", "url=../index.html?type=FirmwareDSP&name=" + name127},
        {{name127 + "d", "x"}, "", "url=../index.html?error=2001&version=v2.11"},
        {{"", "x"}, "", "url=../index.html?error=2001&version=v2.11"},
        {{"FrmWDSP.hex", "x", "Other"}, "", "url=../index.html?error=2001&version=v2.11"},
        {{"web_1.tgz", "x"}, "", "url=../index.html?error=2003&version=v2.11"},
        {{"frmwcint.bin", pattern(70000)}, "url=../a.html", "url=../a.html?error=2003&version=v2.11"},
        {{"XWeb.tgz", "x"}, "", "url=../index.html?error=2003&version=v2.11"},
        {{"FrmWCINT_1.bin", "too small"}, "", "url=../index.html?error=2008&version=v2.11"},
        {{"images/LoaderDSP_4.hex", "x"}, "url=../b.html&url=../c.html",
         "url=../c.html?type=LoaderDSP&name=LoaderDSP_4.hex"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(post(inst, c.query, c.up).refresh(), c.want) << c.up.fileName;
    EXPECT_EQ(inst.leftovers(), Files{});
}

TEST(UpgradeE2e, PostsFromAnotherSiteLeaveTheFlashAlone)
{
    Instrument inst;
    std::string self = inst.server().url("/");  // the address the browser posted to
    self.pop_back();
    const std::string loader = pattern(4000);
    const std::string refused = "url=../index.html?error=2009&version=v2.11";
    const std::string erased = inst.chip();
    for (const std::string& origin : std::vector<std::string>{"http://evil.example", "null", self + "0"}) {
        EXPECT_EQ(post(inst, "", {"LoaderCINT_L7.bin", loader}, {"Origin: " + origin}).refresh(),
                  refused)
            << origin;
    }
    EXPECT_TRUE(inst.chip() == erased);
    EXPECT_EQ(post(inst, "", {"LoaderCINT_L7.bin", loader}, {"Origin: " + self}).refresh(),
              "url=../index.html?type=LoaderCINT&name=LoaderCINT_L7.bin");
    EXPECT_TRUE(inst.chip().substr(59 * kSector + 8, loader.size()) == loader);
    EXPECT_EQ(inst.leftovers(), Files{});
}
