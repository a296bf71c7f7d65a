#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/fake_peer.h"
#include "tests/support/temp_root.h"

using quibtest::PeerAnswer;

TEST(MessagePassing, OnePacketOutOneBackStatusAndBoundedReply)
{
    struct Case {
        const char* what;
        PeerAnswer answer;
        long want;
        const char* reply;  // expected reply buffer contents (8 bytes, rbytes 4)
    };
    const Case cases[] = {
        {"reply cut to rbytes", PeerAnswer::reply(7, "abcdefgh"), 7, "abcd...."},
        {"status only", PeerAnswer::reply(4, ""), 4, "........"},
        {"negative status", PeerAnswer::reply(-5, "zz"), -5, "zz......"},
        {"high byte counts", PeerAnswer::raw("\x04\x03\x02\x01"), 0x01020304, "........"},  // little-endian
        {"short packet", PeerAnswer::raw("abc"), -1, "........"},
        {"closed without answer", PeerAnswer::close(), -1, "........"},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        quibtest::FakePeer peer(root.path(), "firmware", c.answer);
        int coid = name_open("firmware", 0);
        ASSERT_GE(coid, 0) << c.what;
        char reply[9] = "........";
        const char msg[] = "hello\0tail";
        EXPECT_EQ(MsgSend(coid, msg, sizeof msg, reply, 4), c.want) << c.what;
        EXPECT_STREQ(reply, c.reply) << c.what;
        ASSERT_EQ(peer.received().size(), 1u) << c.what;
        EXPECT_EQ(peer.received()[0], std::string(msg, sizeof msg)) << c.what;
        EXPECT_EQ(name_close(coid), 0);
    }
}

TEST(MessagePassing, LateAnswerTimesOutAndTheConnectionStaysBroken)
{
    quibtest::TempRoot root;
    setenv("QUIB_MSG_TIMEOUT_MS", "100", 1);
    quibtest::FakePeer peer(root.path(), "loader", PeerAnswer::reply(4, "", 300));
    int coid = name_open("loader", 0);
    ASSERT_GE(coid, 0);
    char reply[16];
    EXPECT_EQ(MsgSend(coid, "a", 1, reply, sizeof reply), -1);
    while (peer.answered() == 0)
        usleep(10000);
    // The late answer must not pass for the answer of a later exchange.
    EXPECT_EQ(MsgSend(coid, "b", 1, reply, sizeof reply), -1);
    EXPECT_EQ(peer.received().size(), 1u);
    name_close(coid);
    unsetenv("QUIB_MSG_TIMEOUT_MS");
}

TEST(MessagePassing, NamesThatCannotBeReachedGiveMinusOne)
{
    quibtest::TempRoot root;
    EXPECT_EQ(name_open("firmware", 0), -1);  // nobody serving, no directory
    root.write("/dev/name/local/firmware", "");  // a plain file is no peer
    EXPECT_EQ(name_open("firmware", 0), -1);
    EXPECT_EQ(name_open("../firmware", 0), -1);
    EXPECT_EQ(name_open("", 0), -1);
    EXPECT_EQ(MsgSend(-1, "a", 1, nullptr, 0), -1);

    // A root too deep for a socket address fails cleanly instead of being cut.
    std::string deep = root.path() + "/" + std::string(120, 'd');
    setenv("INSTRUMENT_ROOT", deep.c_str(), 1);
    EXPECT_EQ(name_open("firmware", 0), -1);
    setenv("INSTRUMENT_ROOT", root.path().c_str(), 1);
}
