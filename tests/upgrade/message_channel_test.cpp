#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/fake_peer.h"
#include "tests/support/temp_root.h"
#include "upgrade/Message_Channel.h"

using quibtest::PeerAnswer;

namespace {

std::string word(int32_t v)
{
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);  // the DSP message's words are in native order
    return s;
}

const std::string kAlert = "alert(\"Erreur MsgSend\");\r\n";

}  // namespace

TEST(MessageChannel, TextMessagesCarryTheirTerminatorAndMapTheAnswer)
{
    const std::string tmp = "/r/tmp/quibAbc123";
    struct Case { const char* what; PeerAnswer answer; int want; bool alert; };
    const Case cases[] = {
        {"accepted", PeerAnswer::reply(4, "ok"), 0, false},
        {"status 0", PeerAnswer::reply(0, ""), 106, false},
        {"status 1", PeerAnswer::reply(1, ""), 106, false},
        // Every failed exchange (closed, timed out, ...) is the same -1 of MsgSend.
        {"closed without answer", PeerAnswer::close(), 103, true},
    };
    for (const auto& c : cases) {
        struct Msg {
            const char* peer;
            int (*send)(const std::string&);
            std::string text;
        };
        const Msg msgs[] = {
            {"firmware",
             [](const std::string& t) { return channel_send_udp_conf('2', "Port2.TXT", t.c_str()); },
             "mode=4&UDPConf2=Port2.TXT:" + tmp},
            {"firmware", [](const std::string& t) { return channel_send_restore_settings(t.c_str()); },
             "mode=4&RestoreSettings=" + tmp},
            {"loader", [](const std::string& t) { return channel_send_restore_models(t.c_str()); },
             "mode=4&target=loader&RestoreModels=" + tmp},
        };
        for (const auto& m : msgs) {
            quibtest::TempRoot root;
            quibtest::FakePeer peer(root.path(), m.peer, c.answer);
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            int got = m.send(tmp);
            std::string out = testing::internal::GetCapturedStdout();
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(got, c.want) << c.what << " " << m.text;
            EXPECT_EQ(out, "") << c.what;
            EXPECT_EQ(err, c.alert ? kAlert : "") << c.what;
            ASSERT_EQ(peer.received().size(), 1u) << c.what;
            EXPECT_EQ(peer.received()[0], m.text + '\0') << c.what;
        }
    }
}

TEST(MessageChannel, DspImageMessageAndItsResultWord)
{
    const std::string tmp = "/r/tmp/quibXyz789";
    struct Case { const char* what; PeerAnswer answer; int want; };
    const Case cases[] = {
        {"status 4, word 0", PeerAnswer::reply(4, word(0)), 0},
        {"status 3, word 0", PeerAnswer::reply(3, word(0) + "more"), 0},
        {"status 3, word 5", PeerAnswer::reply(3, word(5)), -2},
        {"status 4, no word", PeerAnswer::reply(4, ""), -2},
        // Part of a word: the rest must not come from the command word, on either byte order.
        {"status 4, one byte of a word", PeerAnswer::reply(4, std::string(1, '\0')), -2},
        {"status 3, three bytes of a word", PeerAnswer::reply(3, std::string(3, '\0')), -2},
        {"refused", PeerAnswer::reply(1, word(0)), -1},
        {"status 2", PeerAnswer::reply(2, word(0)), -2},
        {"closed without answer", PeerAnswer::close(), -2},
    };
    for (const auto& c : cases) {
        for (int command : {3, 4}) {
            quibtest::TempRoot root;
            quibtest::FakePeer peer(root.path(), "loader", c.answer);
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            EXPECT_EQ(channel_send_dsp_image(command, tmp.c_str(), "FrmWDSP_1.hex"), c.want)
                << c.what;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.what;
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.what;
            ASSERT_EQ(peer.received().size(), 1u) << c.what;
            EXPECT_EQ(peer.received()[0], word(command) + tmp + ",FrmWDSP_1.hex") << c.what;
        }
    }
}

TEST(MessageChannel, MessagesThatDoNotFitAreNotSent)
{
    quibtest::TempRoot root;
    quibtest::FakePeer firmware(root.path(), "firmware");
    quibtest::FakePeer loader(root.path(), "loader", PeerAnswer::reply(4, word(0)));
    const std::string name127(127, 'n');
    // The longest names of a request fit: a 127-character base name, a long host path.
    const std::string longTmp = root.path() + "/" + std::string(700, 'p') + "/tmp/quibAbc123";
    EXPECT_EQ(channel_send_udp_conf('1', (name127 + ".txt").c_str(), longTmp.c_str()), 0);
    EXPECT_EQ(channel_send_dsp_image(4, longTmp.c_str(), name127.c_str()), 0);

    const std::string huge(1100, 'x');
    EXPECT_EQ(channel_send_udp_conf('1', "a.txt", huge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_settings(huge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_models(huge.c_str()), 106);
    EXPECT_EQ(channel_send_dsp_image(4, huge.c_str(), "FrmWDSP_1.hex"), -2);
    // Exactly filling the buffer leaves no room for the terminator.
    const std::string edge(1024 - std::strlen("mode=4&RestoreSettings="), 'e');
    EXPECT_EQ(channel_send_restore_settings(edge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_settings(edge.substr(1).c_str()), 0);
    EXPECT_EQ(firmware.received().size(), 2u);
    EXPECT_EQ(loader.received().size(), 1u);
}
