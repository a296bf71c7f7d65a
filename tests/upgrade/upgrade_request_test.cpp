// The request's entry in this process (a query string and a posted file in; the
// Refresh target, what the peers received and what was stored out), and the
// messages to the peers below it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/support/chip_root.h"
#include "tests/support/fake_peer.h"
#include "tests/support/image_bytes.h"
#include "upgrade/Message_Channel.h"
#include "upgrade/upgrade_internal.h"

using quibtest::PeerAnswer;
using Files = std::vector<std::string>;

namespace {

// The DSP message's command and result words are in native order.
std::string word(int32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

// Posts content as the file `name` of `field`, the way the web server hands a
// request over; returns what follows "0;" in the Refresh element, and the
// upload's path in *upload.
std::string post(const quibtest::TempRoot& root, const std::string& query, const std::string& name,
                 const std::string& content, std::string* upload = nullptr, const std::string& field = "Filedata")
{
    const std::string body = "--b\r\nContent-Disposition: form-data; name=\"" + field + "\"; filename=\"" +
                             name + "\"\r\n\r\n" + content + "\r\n--b--\r\n";
    root.write("/body", body);
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=b", 1);
    setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    if (query.empty())  // as a server that passes no empty variable
        unsetenv("QUERY_STRING");
    else
        setenv("QUERY_STRING", query.c_str(), 1);
    cgiIn = std::fopen(root.host("/body").c_str(), "rb");
    char* buf = nullptr;
    size_t len = 0;
    cgiOut = open_memstream(&buf, &len);
    EXPECT_EQ(cgiCaptureAndParse(), cgiParseSuccess);
    EXPECT_EQ(cgiMain(), 0);
    const cgiFormEntry* entry = cgiFormEntryFindFirst("Filedata");
    if (upload != nullptr)
        *upload = entry != nullptr ? entry->tfileName : "";
    cgiFreeResources();
    std::fclose(cgiIn);
    std::fclose(cgiOut);
    cgiIn = cgiOut = nullptr;
    const std::string page(buf, len);
    std::free(buf);
    const size_t at = page.find("content=\"0;") + 11;
    return page.substr(at, page.find('"', at) - at);
}

}  // namespace

// Another site's request and a request lock that cannot be taken are answered
// without a single cycle on the chip.
TEST(UpgradeRequest, RoutesByOriginQueryNameBoardAndPeerAnswer)
{
    enum Lock { Free, Symlink, Directory, Fifo };
    const std::string nul(1, '\0'), err = "url=../index.html?error=", restore = "url=../index.html?restoresettingserror=";
    const std::string dsp127 = "FrmWDSP" + std::string(120, 'd'), settings = "# MMI backup\nQNX 6.5\n";
    struct Case {
        std::string query, name, want;
        std::string sent = "";  // the one message a peer received, the upload's path as "T"
        std::string content = "x";
        int board = 1;
        std::optional<PeerAnswer> firmware = PeerAnswer::reply(4), loader = PeerAnswer::reply(4, word(0));  // none: unserved
        std::string field = "Filedata";
        const char* origin = "";  // none; the Host is inst:8080
        Lock lock = Free;
    };
    // Rows name only the members that differ from the defaults, which GCC 12
    // still reports as missing initializers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    const Case cases[] = {
        {.name = dsp127, .want = "url=../index.html?type=FirmwareDSP&name=" + dsp127, .sent = "loader" + word(4) + "T," + dsp127},
        {.name = dsp127 + "d", .want = err + "2001&version=v2.11"},
        {.name = "", .want = err + "2001&version=v2.11"},
        {.name = "FrmWDSP.hex", .want = err + "2001&version=v2.11", .field = "Other"},
        {.name = "web_1.tgz", .want = err + "2003&version=v2.11"},
        {.query = "url=../a.html", .name = "XWeb.tgz", .want = "url=../a.html?error=2003&version=v2.11", .origin = "http://inst:8080"},
        {.name = "x.bin", .want = err + "2009&version=v2.11", .origin = "http://evil.example"},
        {.name = "x.bin", .want = err + "2007&version=v2.11", .lock = Symlink},
        {.name = "x.bin", .want = err + "2007&version=v2.11", .lock = Directory},
        {.name = "x.bin", .want = err + "2007&version=v2.11", .origin = "http://inst:8080", .lock = Fifo},
        {.name = "FrmWCINT_1.bin", .want = err + "2008&version=v2.11"},
        {.query = "url=../b.html&url=../c.html", .name = "C:\\dsp/x\\LoaderDSP_4.hex",
         .want = "url=../c.html?type=LoaderDSP&name=LoaderDSP_4.hex", .sent = "loader" + word(3) + "T,LoaderDSP_4.hex"},
        {.name = "FrmWDSP_1.hex", .want = err + "2004&version=v2.11", .sent = "loader" + word(4) + "T,FrmWDSP_1.hex", .loader = PeerAnswer::reply(1, word(0))},
        {.name = "LoaderDSP_1.hex", .want = err + "2005&version=v2.11", .sent = "loader" + word(3) + "T,LoaderDSP_1.hex", .loader = PeerAnswer::reply(2, word(0))},
        {.name = "FrmWDSP_1.hex", .want = err + "2005&version=v2.11", .sent = "loader" + word(4) + "T,FrmWDSP_1.hex", .loader = PeerAnswer::reply(4, word(5))},
        {.name = "FrmWDSP_1.hex", .want = err + "2004&version=v2.11", .loader = std::nullopt},
        // The UDP route wins over any restore key; only ".txt" names, in any case, are forwarded.
        {.query = "udp_port=2", .name = "Port2.TXT", .want = "url=../index.html?type=UDP&name=Port2.TXT&port=2", .sent = "firmwaremode=4&UDPConf2=Port2.TXT:T" + nul},
        {.query = "udp_port=3&settings=1", .name = ".txt", .want = "url=../index.html?type=UDP&name=.txt&port=3", .sent = "firmwaremode=4&UDPConf3=.txt:T" + nul},
        {.query = "url=../udp.html&udp_port=2", .name = "x.txt.bak", .want = "url=../udp.html?error=2003&version=v2.11&port=2"},
        {.query = "udp_port=2", .name = "txt", .want = err + "2003&version=v2.11&port=2"},
        {.query = "udp_port=2", .name = "a.txt", .want = err + "2006&version=v2.11&port=2", .sent = "firmwaremode=4&UDPConf2=a.txt:T" + nul, .firmware = PeerAnswer::reply(0)},
        {.query = "udp_port=2", .name = "a.txt", .want = err + "2006&version=v2.11&port=2", .firmware = std::nullopt},
        {.query = "udp_port=2", .name = "a.txt", .want = err + "2003&version=v2.11&port=2", .sent = "firmwaremode=4&UDPConf2=a.txt:T" + nul, .firmware = PeerAnswer::close()},
        {.query = "udp_port=&url=../x.html", .name = "FrmWDSP_1.hex", .want = "url=../x.html?type=FirmwareDSP&name=FrmWDSP_1.hex", .sent = "loader" + word(4) + "T,FrmWDSP_1.hex"},
        // A settings backup names its interface and QNX before its first zero byte, in its first kilobyte.
        {.query = "settings=1", .name = "Backup.TXT", .want = restore + "0", .sent = "firmwaremode=4&RestoreSettings=T" + nul, .content = settings},
        {.query = "settings=1", .name = "b.txt", .want = restore + "0", .sent = "firmwaremode=4&RestoreSettings=T" + nul, .content = "IHM" + std::string(1018, ' ') + "QNX"},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = "IHM" + std::string(1019, ' ') + "QNX"},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = "IHM only"},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = "QNX"},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = "ihm qnx"},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = std::string("IHM\0QNX", 7)},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2003", .content = ""},
        {.query = "settings=1", .name = "Backup.bin", .want = restore + "2003", .content = settings},
        {.query = "settings=1", .name = "b.txt", .want = restore + "2006", .sent = "firmwaremode=4&RestoreSettings=T" + nul, .content = settings, .firmware = PeerAnswer::reply(0)},
        {.query = "settings=1&models=1", .name = "m.txt", .want = restore + "0", .sent = "loadermode=4&target=loader&RestoreModels=T" + nul},
        {.query = "system=1", .name = "s.txt", .want = restore + "2006", .loader = std::nullopt},
        // GPS configurations: "settings=" and a "gps_" name, on the board with the NAND drive.
        {.query = "settings=1", .name = "gps_rtk.txt", .want = restore + "1", .content = quibtest::pattern(51200), .board = 2},
        {.query = "settings=1", .name = "gps_rtk.txt", .want = restore + "2008", .content = quibtest::pattern(51201), .board = 2},
        {.query = "settings=1", .name = "gps_rtk.txt", .want = restore + "2003", .board = 1},
        {.query = "settings=1", .name = "gps_rtk.dat", .want = restore + "2003", .board = 2},
        {.query = "models=1", .name = "gps_rtk.txt", .want = restore + "0", .sent = "loadermode=4&target=loader&RestoreModels=T" + nul, .board = 2},
    };
#pragma GCC diagnostic pop
    setenv("HTTP_HOST", "inst:8080", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " " + c.name + " -> " + c.want);
        quibtest::ChipRoot root;
        const std::string lock = root.host("/tmp/upgrade.lock"), aside = root.host("/tmp/aside");
        ASSERT_EQ(c.lock == Symlink ? symlink(aside.c_str(), lock.c_str()) : c.lock == Directory ? mkdir(lock.c_str(), 0700)
                  : c.lock == Fifo ? mkfifo(lock.c_str(), 0600) : 0, 0);
        setenv("HTTP_ORIGIN", c.origin, 1);
        if (c.board == 2) {
            root.write("/proc/boot/pidin", "#!/bin/sh\necho 'FreeMem:41Mb/64Mb'\n");
            chmod(root.host("/proc/boot/pidin").c_str(), 0755);
        }
        root.write("/www/system/conf/gps_rtk.txt", "old");
        std::optional<quibtest::FakePeer> firmware, loader;
        if (c.firmware)
            firmware.emplace(root.path(), "firmware", *c.firmware);
        if (c.loader)
            loader.emplace(root.path(), "loader", *c.loader);
        std::string upload;
        norsim::resetCounters();
        EXPECT_EQ(post(root, c.query, c.name, c.content, &upload, c.field), c.want);
        const norsim::Counters used = norsim::counters();
        const bool served = c.want.find("=2009") == std::string::npos && c.lock == Free;
        EXPECT_EQ(used.reads + used.writes > 0, served);

        Files sent;
        for (const auto* peer : {&firmware, &loader}) {
            for (std::string m : *peer ? (*peer)->received() : Files{}) {
                if (const size_t at = m.find(upload); !upload.empty() && at != std::string::npos)
                    m.replace(at, upload.size(), "T");
                sent.push_back((peer == &firmware ? "firmware" : "loader") + m);
            }
        }
        EXPECT_EQ(sent, c.sent.empty() ? Files{} : Files{c.sent});
        EXPECT_EQ(root.read("/www/system/conf/gps_rtk.txt"), c.want.ends_with("=1") ? c.content : "old");
        EXPECT_EQ(root.list("/www/system/conf"), Files{"gps_rtk.txt"});
        EXPECT_EQ(root.list("/tmp"), served ? Files{"upgrade.lock"} : Files{});
        EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos);
    }
    unsetenv("HTTP_HOST");
    unsetenv("HTTP_ORIGIN");
}

TEST(MessageChannel, DspResultWordAndFailedExchanges)
{
    struct Case {
        PeerAnswer answer;
        int want;
    };
    // Part of a word: the rest must not come from the command word, on either byte order.
    const Case cases[] = {
        {PeerAnswer::reply(3, word(0) + "more"), 0}, {PeerAnswer::reply(4, ""), -2},
        {PeerAnswer::reply(4, std::string(1, '\0')), -2}, {PeerAnswer::reply(3, std::string(3, '\0')), -2},
        {PeerAnswer::close(), -2},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        quibtest::FakePeer peer(root.path(), "loader", c.answer);
        EXPECT_EQ(channel_send_dsp_image(4, "/r/tmp/quibX", "FrmWDSP_1.hex"), c.want) << c.answer.data.size();
    }
    // A failed text exchange says so on standard error: standard output is the response.
    quibtest::TempRoot root;
    quibtest::FakePeer peer(root.path(), "firmware", PeerAnswer::close());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(channel_send_restore_settings("/r/tmp/quibX"), 103);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "alert(\"Erreur MsgSend\");\r\n");
}

// The longest names of a request fit (a 127-character base name, a long host
// path); a message that would fill the buffer, terminator included, is not sent.
TEST(MessageChannel, MessagesThatDoNotFitAreNotSent)
{
    quibtest::TempRoot root;
    quibtest::FakePeer firmware(root.path(), "firmware"), loader(root.path(), "loader", PeerAnswer::reply(4, word(0)));
    const std::string name127(127, 'n'), longTmp = root.path() + "/" + std::string(700, 'p') + "/tmp/quibAbc123";
    EXPECT_EQ(channel_send_udp_conf('1', (name127 + ".txt").c_str(), longTmp.c_str()), 0);
    EXPECT_EQ(channel_send_dsp_image(4, longTmp.c_str(), name127.c_str()), 0);
    const std::string huge(1100, 'x'), edge(1024 - std::strlen("mode=4&RestoreSettings="), 'e');
    EXPECT_EQ(channel_send_udp_conf('1', "a.txt", huge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_models(huge.c_str()), 106);
    EXPECT_EQ(channel_send_dsp_image(4, huge.c_str(), "FrmWDSP_1.hex"), -2);
    EXPECT_EQ(channel_send_restore_settings(edge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_settings(edge.substr(1).c_str()), 0);
    EXPECT_EQ(firmware.received().size(), 2u);
    EXPECT_EQ(loader.received().size(), 1u);
}
