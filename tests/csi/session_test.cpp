// Server session states: which messages are answered how in states 0, 100 and 200, session
// codes where they are checked and where not, and the timers each path starts.
#include "csi/csi_config.h"
#include "csi_harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class Session : public ::testing::Test, public EngineFixtureBase {
protected:
    bool Logged(const std::string& entry) {
        for (const auto& l : logs)
            if (l == entry)
                return true;
        return false;
    }
    void ExpectNoMsg(const Answer& a, uint16_t sequence, uint16_t session) {
        EXPECT_EQ(a.size, 14u);
        EXPECT_EQ(a.type, MSG_STATUS);
        EXPECT_EQ(a.session, session);
        EXPECT_EQ(a.sequence, sequence);
        EXPECT_EQ(a.word10, 0xFFFF);
        EXPECT_EQ(a.word12, RC_NOMSG);
    }
};

TEST_F(Session, ConnectAnswerOffersTheSmallerLevel) {
    StartServer();
    EXPECT_EQ(Exchange(Connect(1, 1, 2, 9)).word14, 5);
    EXPECT_TRUE(Send(Msg(MSG_DISCONNECT, 0, 2, {0, 0})).empty());
    ASSERT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_EQ(Exchange(Connect(3, 1, 2, 3)).word14, 3);
    EXPECT_EQ(Exchange(Connect(4, 1, 2, 0xFFFF)).word14, 3)
        << "a repeated connect is answered with the level agreed so far";
}

TEST_F(Session, IdleAnswersAnythingButConnectWithNoMsgAndKeepsItsTimer) {
    StartServer();
    Rounds(10);
    const int32_t remaining = engine->Timer().remaining;
    ExpectNoMsg(Exchange(Login(77)), 77, 0);
    EXPECT_EQ(engine->Timer().remaining, remaining - 250);
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_FALSE(csi_get_call_active());
}

TEST_F(Session, LoginCodeIsFiftyEightTwentyOneForStationZeroAndDerivedOtherwise) {
    StartServer();
    Exchange(Connect(1));
    Answer a = Exchange(Login(2));
    EXPECT_EQ(a.session, 5821);
    EXPECT_EQ(engine->SessionCode(), 5821);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    // A second login computes it again from the station identifier.
    uint8_t bytes[2] = {3, 4};
    std::memcpy(&stationId, bytes, 2);
    a = Exchange(Login(3));
    EXPECT_EQ(a.session, 3004);
    EXPECT_EQ(engine->Timer().remaining, 59750);
}

TEST_F(Session, WrongCodeIsRefusedWhereCheckedWithCodeZeroInTheHeader) {
    StartServer();
    ConnectAndLogin();
    Answer a = Exchange(Msg(MSG_LOGOUT, 1111, 40));
    EXPECT_EQ(a.size, 38u);
    EXPECT_EQ(a.length, 38);
    EXPECT_EQ(a.session, 0);
    EXPECT_EQ(a.sequence, 40);
    EXPECT_EQ(a.word10, 0xFFFF);
    EXPECT_EQ(a.word12, RC_BADAUTH);
    EXPECT_EQ(a.text, "Bad authorization code!");
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    EXPECT_EQ(engine->SessionCode(), 5821) << "the code is restored after the refusal";

    a = Exchange(FileAnnounce(1111, 41, 100, 1));
    EXPECT_EQ(a.word12, RC_BADAUTH);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);

    // Request with the wrong code gets only the refusal of the code.
    std::vector<Bytes> answers = Send(Msg(MSG_REQUEST, 1111, 42, {1, 0}));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(Parse(answers[0]).word12, RC_BADAUTH);
}

TEST_F(Session, QueryAndTextAreNotCodeChecked) {
    StartServer();
    ConnectAndLogin();
    Answer a = Exchange(Msg(MSG_FILE_STATUS_QUERY, 999, 50));
    EXPECT_EQ(a.type, MSG_FILE_STATUS);
    EXPECT_EQ(a.session, 5821);
    EXPECT_EQ(a.word10, 2) << "no file accepted yet";
    EXPECT_TRUE(Send(Msg(MSG_TEXT, 999, 51, Bytes(64, 'x'))).empty());
    EXPECT_EQ(engine->Timer().remaining, 59750);
}

TEST_F(Session, RequestIsRefusedWithItsOwnText) {
    StartServer();
    ConnectAndLogin();
    Answer a = Exchange(Msg(MSG_REQUEST, 5821, 60, {1, 0, 2, 0}));
    EXPECT_EQ(a.size, 52u);
    EXPECT_EQ(a.word10, 0xFFFF);
    EXPECT_EQ(a.word12, RC_NOREQUEST);
    EXPECT_EQ(a.text, "This device does not accept requests!");
    EXPECT_EQ(a.sequence, 60);
}

TEST_F(Session, UnexpectedTypesGetNoMsgInEveryState) {
    StartServer();
    Exchange(Connect(1));
    ExpectNoMsg(Exchange(Msg(MSG_FILE_STATUS_QUERY, 0, 2)), 2, 0);
    ExpectNoMsg(Exchange(Msg(9, 0, 3)), 3, 0);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_EQ(engine->Timer().remaining, 29750);
    Exchange(Login(4));
    for (int type : {0, 1, 4, 10, 0x7777}) {
        SCOPED_TRACE(type);
        ExpectNoMsg(Exchange(Msg(static_cast<uint16_t>(type), 5821, 5, {0, 0})), 5, 5821);
        EXPECT_EQ(engine->State(), SERVER_LOGGED);
    }
}

TEST_F(Session, MalformedDatagramsAreDroppedWithoutAnswer) {
    StartServer();
    Bytes longer = Connect(1);
    longer.resize(20, 0); // length field says 16, datagram has 20
    EXPECT_TRUE(Send(longer).empty());
    EXPECT_TRUE(Send(Bytes{0x02, 0x00}).empty());
    Bytes shortHeader = Msg(MSG_CONNECT, 0, 1);
    shortHeader.resize(8);
    shortHeader[0] = 8;
    EXPECT_TRUE(Send(shortHeader).empty()) << "length below a header";
    EXPECT_TRUE(Send(Bytes(600, 0x55)).empty()) << "more than the receive area";
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    // A truncated file announcement reads zeros past its end rather than stale bytes.
    Exchange(Connect(2));
    Exchange(Login(3));
    Answer a = Exchange(Msg(MSG_FILE, 5821, 4));
    EXPECT_EQ(a.word12, RC_OK);
}

TEST_F(Session, ConnectedTimesOutAfterThirtySecondsAndRelinks) {
    StartServer();
    Exchange(Connect(1));
    EXPECT_TRUE(csi_get_call_active());
    Rounds(118);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    Rounds(1); // the 120th tick, counting the connect round
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_TRUE(Logged("server|0|SERVER_CONNECTED: Timed out waiting for message."));
    EXPECT_FALSE(csi_get_call_active());
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.opens, 2);
    EXPECT_EQ(engine->Timer().remaining, 1000);
}

TEST_F(Session, LogoutKeepsCallActiveAndAllowsANewLogin) {
    StartServer();
    ConnectAndLogin();
    Exchange(Msg(MSG_LOGOUT, 5821, 9));
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_TRUE(csi_get_call_active());
    EXPECT_EQ(engine->Timer().remaining, 29750);
    EXPECT_EQ(Exchange(Login(10)).session, 5821);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
}

TEST_F(Session, FailedConnectAnswerLeavesTheStateAlone) {
    StartServer();
    link.failSends = 1;
    EXPECT_TRUE(Send(Connect(1)).empty());
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_TRUE(csi_get_call_active()) << "set before the answer went out";
    Exchange(Connect(2));
    link.failSends = 1;
    EXPECT_TRUE(Send(Connect(3)).empty());
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_FALSE(engine->Timer().armed) << "no timer runs until the next message";
}

TEST_F(Session, FailedRelinkIsRetriedAtTheNextIdleTimeout) {
    StartServer();
    Exchange(Connect(1));
    link.failOpen = true;
    Send(Msg(MSG_DISCONNECT, 0, 2, {0, 0}));
    EXPECT_FALSE(engine->LinkIsOpen());
    link.failOpen = false;
    Rounds(6);
    EXPECT_FALSE(engine->LinkIsOpen());
    Rounds(1); // the 2,000 ms timer expires at the 8th tick after the disconnect's own
    EXPECT_TRUE(engine->LinkIsOpen());
    EXPECT_EQ(Exchange(Connect(3)).type, MSG_CONNECT);
}

} // namespace
