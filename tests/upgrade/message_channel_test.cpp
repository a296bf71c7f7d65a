// The messages to the peers below the routes: the DSP result word however
// short the reply, the diagnostic of a failed exchange, and what does not fit.
#include <gtest/gtest.h>

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

}  // namespace

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
    EXPECT_EQ(channel_send_restore_models(huge.c_str()), 106);
    EXPECT_EQ(channel_send_dsp_image(4, huge.c_str(), "FrmWDSP_1.hex"), -2);
    // Exactly filling the buffer leaves no room for the terminator.
    const std::string edge(1024 - std::strlen("mode=4&RestoreSettings="), 'e');
    EXPECT_EQ(channel_send_restore_settings(edge.c_str()), 106);
    EXPECT_EQ(channel_send_restore_settings(edge.substr(1).c_str()), 0);
    EXPECT_EQ(firmware.received().size(), 2u);
    EXPECT_EQ(loader.received().size(), 1u);
}
