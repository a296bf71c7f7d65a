// Message passing over Unix-domain sockets: one packet out, a status and a bounded reply back.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "platform/platform.h"
#include "tests/support/fake_peer.h"
#include "tests/support/temp_root.h"

using quibtest::PeerAnswer;

TEST(MessagePassing, StatusAndReplyOfOneExchange)
{
    setenv("QUIB_MSG_TIMEOUT_MS", "0", 1);  // no timeout at all: the 30 s default
    const struct {
        PeerAnswer answer;
        long want;
        const char* reply;  // the reply buffer afterwards, 4 bytes asked for
    } cases[] = {
        {PeerAnswer::reply(7, "abcdefgh"), 7, "abcd...."}, {PeerAnswer::reply(4, "", 50), 4, "........"},
        {PeerAnswer::reply(-5, "zz"), -5, "zz......"},     {PeerAnswer::raw("abc"), -1, "........"},
        {PeerAnswer::raw("\x04\x03\x02\x01"), 0x01020304, "........"}, {PeerAnswer::close(), -1, "........"},
    };
    for (const auto& c : cases) {
        quibtest::TempRoot root;
        quibtest::FakePeer peer(root.path(), "firmware", c.answer);
        const int coid = name_open("firmware", 0);
        char reply[9] = "........";
        EXPECT_EQ(MsgSend(coid, "hello\0tail", 11, reply, 4), c.want) << c.reply;
        EXPECT_STREQ(reply, c.reply);
        EXPECT_EQ(peer.received(), std::vector<std::string>{std::string("hello\0tail", 11)});
        EXPECT_EQ(name_close(coid), 0);
    }
}

TEST(MessagePassing, LateAnswerTimesOutAndIsNeverTakenForALaterOne)
{
    quibtest::TempRoot root;
    setenv("QUIB_MSG_TIMEOUT_MS", "100", 1);
    quibtest::FakePeer peer(root.path(), "loader", PeerAnswer::reply(4, "", 300));
    const int coid = name_open("loader", 0);
    char reply[4];
    EXPECT_EQ(MsgSend(coid, "a", 1, reply, sizeof reply), -1);
    while (peer.answered() == 0)
        usleep(10000);
    EXPECT_EQ(MsgSend(coid, "b", 1, reply, sizeof reply), -1);
    EXPECT_EQ(peer.received().size(), 1u);
}

TEST(MessagePassing, NamesThatCannotBeReached)
{
    quibtest::TempRoot root;
    root.write("/dev/name/local/firmware", "");  // a plain file is no peer
    for (const char* name : {"firmware", "../firmware", "", "loader"})
        EXPECT_EQ(name_open(name, 0), -1) << name;
    // A root too deep for a socket address fails instead of being cut.
    setenv("INSTRUMENT_ROOT", (root.path() + "/" + std::string(120, 'd')).c_str(), 1);
    EXPECT_EQ(name_open("firmware", 0), -1);
}
