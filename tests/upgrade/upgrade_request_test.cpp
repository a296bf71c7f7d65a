// The request's entry in this process (a query string and a posted file in; the
// Refresh target and what the peers received out), and the messages to the peers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cgi/cgi_internal.h"
#include "tests/support/chip_root.h"
#include "tests/support/fake_peer.h"
#include "tests/support/image_bytes.h"
#include "tests/support/process.h"
#include "upgrade/Message_Channel.h"
#include "upgrade/upgrade_internal.h"

using quibtest::PeerAnswer;
using Files = std::vector<std::string>;

namespace {

// The DSP message's command and result words are in native order.
std::string word(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// The Refresh target of an error page.
std::string error(int code, const std::string& url = "../index.html")
{
    return "url=" + url + "?error=" + std::to_string(code) + "&version=v2.11";
}

// What a peer received, the upload's path written "T".
std::string dsp(int command, const std::string& name) { return "loader" + word(command) + "T," + name; }
std::string text(const std::string& peerAndText) { return peerAndText + "T" + std::string(1, '\0'); }

// Another process takes the fcntl lock on path and keeps it until release is closed.
pid_t holdLock(const std::string& path, int* release)
{
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(hold[1]);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
        char c = fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) == 1)
            (void)read(hold[0], &c, 1);  // until the parent closes its end
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char c = 'n';
    if (pid < 0 || read(ready[0], &c, 1) != 1 || c != 'y')
        return -1;
    close(ready[0]);
    *release = hold[1];
    return pid;
}

}  // namespace

// Another site's request (a rebound name too) and a request lock that cannot be taken (a link, a FIFO, another
// user's file, another run holding it past the limit) are answered without a single cycle on the chip; a board
// that cannot be identified takes no image. A peer without an answer does not serve its name.
TEST(UpgradeRequest, RoutesByOriginQueryNameAndPeerAnswer)
{
    enum Lock { Free, Symlink, Fifo, Foreign, Held };
    const std::string restore = "url=../index.html?restoresettingserror=", settings = "# MMI backup\nQNX\n";
    const std::string dsp127 = "FrmWDSP" + std::string(120, 'd');
    const std::string toSettings = text("firmwaremode=4&RestoreSettings=");
    struct Case {
        std::string query, name, want;  // an empty query is passed as no variable, as servers do
        std::string sent = "";  // the one message a peer received
        std::string content = "x";
        std::optional<PeerAnswer> firmware = PeerAnswer::reply(4), loader = PeerAnswer::reply(4, word(0));
        const char* origin = "";  // none
        const char* host = "127.0.0.1";
        const char* referer = "";
        Lock lock = Free;
        bool report = true;  // the board report program, board 1
    };
    // Rows leave out the members that keep their defaults (GCC 12 warns of them).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    const Case cases[] = {
        {"", dsp127, "url=../index.html?type=FirmwareDSP&name=" + dsp127, dsp(4, dsp127)},
        {"", dsp127 + "d", error(2001)},
        {.query = "url=../a", .name = "web_1", .want = error(2003, "../a"), .origin = "http://127.0.0.1"},
        {.name = "x.bin", .want = error(2009), .origin = "http://evil.example:8080", .host = "evil.example:8080"},
        {.name = "x.bin", .want = error(2009), .referer = "http://evil.example/"},
        {.name = "x.bin", .want = error(2007), .lock = Symlink},
        {.name = "x.bin", .want = error(2007), .origin = "http://127.0.0.1", .lock = Fifo},
        {.name = "x.bin", .want = error(2007), .lock = Foreign}, {.name = "x.bin", .want = error(2007), .lock = Held},
        {"", "FrmWCINT_1.bin", error(2008)},
        {.name = "FrmWCINT_1.bin", .want = error(2007), .content = std::string(65536, 'f'), .report = false},
        {.query = "settings=1", .name = "gps_rtk.txt", .want = restore + "2007", .report = false},
        {"url=../b&url=../c", "C:\\dsp/x\\LoaderDSP_4", "url=../c?type=LoaderDSP&name=LoaderDSP_4",
         dsp(3, "LoaderDSP_4")},
        // DSP images: accepted on status 3 or 4 with a whole result word of 0.
        {.name = "FrmWDSP", .want = "url=../index.html?type=FirmwareDSP&name=FrmWDSP",
         .sent = dsp(4, "FrmWDSP"), .loader = PeerAnswer::reply(3, word(0) + "more")},
        {.name = "FrmWDSP", .want = error(2004), .sent = dsp(4, "FrmWDSP"), .loader = PeerAnswer::reply(1)},
        {.name = "FrmWDSP", .want = error(2004), .loader = std::nullopt},
        {.name = "FrmWDSP", .want = error(2005), .sent = dsp(4, "FrmWDSP"), .loader = PeerAnswer::reply(4)},
        {.name = "FrmWDSP", .want = error(2005), .sent = dsp(4, "FrmWDSP"),
         .loader = PeerAnswer::reply(4, std::string(3, '\0'))},  // a part of the word only
        {.name = "FrmWDSP", .want = error(2005), .sent = dsp(4, "FrmWDSP"),
         .loader = PeerAnswer::reply(4, word(9))},
        // A name that would end or add a key of the peer's message is not sent.
        {"", "FrmWDSP_a=b", error(2003)},
        {"udp_port=2", "a&mode=9&RestoreSettings=x.txt", error(2003) + "&port=2"},
        // Keys are whole and case-sensitive, the last one wins; a url is followed as it stands if relative.
        {"url=../a.html&url=//elsewhere/", "x", error(2003)},
        {"&&URL=x&Settings=1&url=../b%20c+x&", "x", error(2003, "../b%20c+x")},
        {"urlx=1&udp_port9=1&system", "x", error(2003)},
        {"udp_port=&models=&system=&settings=", "s.txt", restore + "2003"},
        // The UDP route wins over any restore key; only ".txt" names, in any case, are forwarded.
        {"udp_port=2", "Port2.TXT", "url=../index.html?type=UDP&name=Port2.TXT&port=2",
         text("firmwaremode=4&UDPConf2=Port2.TXT:")},
        {"udp_port=3&settings=1", ".txt", "url=../index.html?type=UDP&name=.txt&port=3",
         text("firmwaremode=4&UDPConf3=.txt:")},
        {"url=../udp.html&udp_port=2", "txt", error(2003, "../udp.html") + "&port=2"},
        {.query = "udp_port=2", .name = "a.txt", .want = error(2006) + "&port=2",
         .sent = text("firmwaremode=4&UDPConf2=a.txt:"), .firmware = PeerAnswer::reply(0)},
        // A settings backup names its interface and QNX before its first zero byte, in its first kilobyte.
        {"settings=1", "Backup.TXT", restore + "0", toSettings, settings},
        {"settings=1", "b.txt", restore + "0", toSettings, "IHM" + std::string(1018, ' ') + "QNX"},
        {"settings=1", "b.txt", restore + "2003", "", "IHM" + std::string(1019, ' ') + "QNX"},
        {"settings=1", "b.txt", restore + "2003", "", std::string("IHM\0QNX", 7)},
        {"settings=1", "Backup.bin", restore + "2003", "", settings},
        {.query = "system=1", .name = "s.txt", .want = restore + "2006", .loader = std::nullopt},
        // GPS configurations: "settings=" and a "gps_" name, on the board with the NAND drive only.
        {"settings=1", "gps_rtk.txt", restore + "2003"},
        {"settings=1&models=1", "gps_.txt", restore + "0", text("loadermode=4&target=loader&RestoreModels=")},
    };
#pragma GCC diagnostic pop
    setenv("QUIB_LOCK_WAIT_MS", "100", 1);
    setenv("REQUEST_METHOD", "POST", 1);
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=b", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " " + c.name + " -> " + c.want);
        quibtest::ChipRoot root;
        const std::string lock = root.host("/tmp/upgrade.lock");
        if (c.lock == Foreign)
            root.write("/tmp/upgrade.lock", "");
        ASSERT_EQ(c.lock == Symlink ? symlink(root.host("/tmp/aside").c_str(), lock.c_str())
                  : c.lock == Fifo  ? mkfifo(lock.c_str(), 0600)
                  : c.lock == Foreign ? chown(lock.c_str(), 65534, 65534) : 0, 0);
        int release = -1;
        const pid_t holder = c.lock == Held ? holdLock(lock, &release) : 0;
        ASSERT_GE(holder, 0);
        if (c.report) {
            root.write("/proc/boot/pidin", "#!/bin/sh\necho 'FreeMem:90Mb/128Mb'\n");
            chmod(root.host("/proc/boot/pidin").c_str(), 0755);
        }
        setenv("HTTP_ORIGIN", c.origin, 1);
        setenv("HTTP_HOST", c.host, 1);
        setenv("HTTP_REFERER", c.referer, 1);
        std::optional<quibtest::FakePeer> firmware, loader;
        if (c.firmware)
            firmware.emplace(root.path(), "firmware", *c.firmware);
        if (c.loader)
            loader.emplace(root.path(), "loader", *c.loader);
        // The request as the web server hands it over.
        const std::string body = "--b\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"" +
                                 c.name + "\"\r\n\r\n" + c.content + "\r\n--b--\r\n";
        root.write("/body", body);
        setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
        c.query.empty() ? unsetenv("QUERY_STRING") : setenv("QUERY_STRING", c.query.c_str(), 1);
        cgiIn = std::fopen(root.host("/body").c_str(), "rb");
        char* buf = nullptr;
        size_t len = 0;
        cgiOut = open_memstream(&buf, &len);
        norsim::resetCounters();
        EXPECT_EQ(cgiCaptureAndParse(), cgiParseSuccess);
        EXPECT_EQ(cgiMain(), 0);
        if (holder > 0) {
            close(release);
            quibtest::waitProcess(holder);
        }
        const std::string upload = cgiFormEntryFindFirst("Filedata")->tfileName;
        cgiFreeResources();
        std::fclose(cgiIn);
        std::fclose(cgiOut);
        const std::string page(buf, len);
        std::free(buf);
        const size_t at = page.find("content=\"0;") + 11;
        EXPECT_EQ(page.substr(at, page.find('"', at) - at), c.want);
        const bool served = c.want.find("=2009") == std::string::npos && c.lock == Free;
        EXPECT_EQ(norsim::counters().reads + norsim::counters().writes > 0, served);

        std::string sent;  // the upload's path written "T"
        for (const auto* peer : {&firmware, &loader}) {
            for (const std::string& m : *peer ? (*peer)->received() : Files{})
                sent += (peer == &firmware ? "firmware" : "loader") + m;
        }
        if (const size_t path = sent.find(upload); path != std::string::npos)
            sent.replace(path, upload.size(), "T");
        EXPECT_EQ(sent, c.sent);
        const bool lockFile = served || c.lock == Foreign || c.lock == Held;
        EXPECT_EQ(root.list("/tmp"), lockFile ? Files{"upgrade.lock"} : Files{});
        EXPECT_EQ(root.image().find_first_not_of('\xFF'), std::string::npos);
    }
    cgiIn = cgiOut = nullptr;
    for (const char* v : {"HTTP_HOST", "HTTP_ORIGIN", "HTTP_REFERER", "QUIB_LOCK_WAIT_MS"})
        unsetenv(v);
}

// A message that would fill the buffer, terminator included, is not sent; nor is a name that would end its key.
TEST(MessageChannel, LimitsAndFailedExchanges)
{
    for (const char* name : {"a&b", "a=b", "a:b", "a\x1F", "a\nb"})
        EXPECT_FALSE(channel_name_fits(name)) << name;
    EXPECT_TRUE(channel_name_fits("FrmWDSP 100%,x~.hex"));
    quibtest::TempRoot root;
    {
        quibtest::FakePeer firmware(root.path(), "firmware"), loader(root.path(), "loader");
        const std::string edge(1024 - std::strlen("mode=4&RestoreSettings="), 'e');
        EXPECT_EQ(channel_send_dsp_image(4, std::string(1100, 'x').c_str(), "FrmWDSP_1.hex"), -2);
        EXPECT_EQ(channel_send_restore_settings(edge.c_str()), 106);
        EXPECT_EQ(channel_send_restore_settings(edge.substr(1).c_str()), 0);
        EXPECT_EQ(firmware.received().size() + loader.received().size(), 1u);
    }
    // A failed text exchange says so on standard error: standard output is the response.
    quibtest::FakePeer firmware(root.path(), "firmware", PeerAnswer::close());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(channel_send_restore_settings("/r/tmp/quibX"), 103);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "alert(\"Erreur MsgSend\");\r\n");
}
