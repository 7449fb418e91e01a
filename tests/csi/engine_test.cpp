// Engine loop and commands: statuses written into the poster's word, commands posted while
// another runs, unknown codes, the session timer counted in ticks, and the idle watchdog.
#include "csi/csi_config.h"
#include "csi_harness.h"
#include "obj_builder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class Engine : public ::testing::Test, public EngineFixtureBase {};

TEST_F(Engine, StartServerChecksTheInterfaceNameLength) {
    const std::string name23(23, 'n');
    const std::string name24(24, 'n');
    Post(server, 2, 0, name24.c_str());
    Rounds(1);
    EXPECT_EQ(server.word.load(), CSI_STATUS_FAILURE);
    EXPECT_EQ(engine->Role(), CSI_ROLE_NONE);
    Post(server, 2, 0, nullptr);
    Rounds(1);
    EXPECT_EQ(server.word.load(), CSI_STATUS_FAILURE);
    Post(server, 2, 0, name23.c_str());
    Rounds(1);
    EXPECT_EQ(server.word.load(), CSI_STATUS_DONE);
    EXPECT_EQ(engine->Role(), CSI_ROLE_SERVER);
    EXPECT_TRUE(link.open);
    EXPECT_EQ(engine->Timer().remaining, 59750);
}

TEST_F(Engine, StartServerFailsWhenTheLinkCannotBeAttached) {
    link.failOpen = true;
    StartServer();
    EXPECT_EQ(server.word.load(), CSI_STATUS_FAILURE);
    link.failOpen = false;
    link.failSetup = true;
    StartServer();
    EXPECT_EQ(server.word.load(), CSI_STATUS_FAILURE);
    EXPECT_FALSE(link.open) << "a failed endpoint set-up detaches the line again";
    EXPECT_FALSE(engine->LinkIsOpen());
}

TEST_F(Engine, CommandsOutsideTheirStateEndWithThree) {
    Post(waiter, 3);
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_NOT_ALLOWED) << "wait for a file before server mode";
    StartServer();
    Post(confirmer, 4, 1);
    Rounds(1);
    EXPECT_EQ(confirmer.word.load(), CSI_STATUS_NOT_ALLOWED) << "no file waits for confirmation";
    Exchange(Connect(1));
    Post(server, 2);
    Rounds(1);
    EXPECT_EQ(server.word.load(), CSI_STATUS_NOT_ALLOWED) << "start again during a call";
}

TEST_F(Engine, UnknownCodesEndWithTwoAndNullWordsAreDropped) {
    Poster odd;
    Post(odd, 5);
    Rounds(1);
    EXPECT_EQ(odd.word.load(), CSI_STATUS_FAILURE);
    Post(odd, 0);
    Rounds(1);
    EXPECT_EQ(odd.word.load(), CSI_STATUS_FAILURE);
    CsiCommandRecord noWord;
    noWord.code = 2;
    noWord.interfaceName = "INT";
    queue.Append(noWord);
    Rounds(1);
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(engine->Role(), CSI_ROLE_NONE) << "a record nobody waits for is not performed";
}

TEST_F(Engine, CommandPostedWhileAnotherRunsIsConsumedAndNeverAnswered) {
    StartServer();
    Post(waiter, 3);
    Rounds(1);
    Poster late;
    Post(late, 4, 1);
    Rounds(1);
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(late.word.load(), CSI_STATUS_RUNNING);
    ConnectAndLogin();
    SendWholeFile(BuildObjFile(28));
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_DONE) << "the running command reports to its poster";
    EXPECT_EQ(late.word.load(), CSI_STATUS_RUNNING);
}

TEST_F(Engine, ResetCommandEndsTheCallAndSilencesTheRunningPoster) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    Exchange(FileAnnounce(5821, seq++, 100, 1));
    ASSERT_TRUE(engine->HoldsFileBuffer());
    waiter.word.store(CSI_STATUS_CANCELLED); // the poster gave up, as on a stop event
    Poster reset;
    Post(reset, 1);
    Rounds(1);
    EXPECT_EQ(reset.word.load(), CSI_STATUS_DONE);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_CANCELLED) << "nothing more into a dropped word";
    EXPECT_EQ(engine->Role(), CSI_ROLE_NONE);
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    EXPECT_FALSE(engine->HoldsFileBuffer());
    EXPECT_FALSE(link.open);
    EXPECT_TRUE(Send(Connect(9)).empty()) << "no role, nothing dispatched";
}

TEST_F(Engine, FirstIdleTimeoutEndsWaitWithSixOnlyWhenEnabled) {
    StartServer(/*flag=*/0);
    Post(waiter, 3);
    Rounds(238);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_RUNNING);
    Rounds(1);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_NO_CALL);
    Post(waiter, 3);
    Rounds(300);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_RUNNING) << "only the first time-out counts";
}

TEST_F(Engine, FirstIdleTimeoutIsIgnoredWhenDisabled) {
    StartServer(/*flag=*/1);
    Post(waiter, 3);
    Rounds(400);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_RUNNING);
}

TEST_F(Engine, DirectLineSendsNoMsgOnTheFortySecondEmptyRound) {
    StartServer();
    Post(waiter, 3);
    Rounds(41); // the command's own round is the first empty poll
    EXPECT_TRUE(link.sent.empty());
    Rounds(1);
    ASSERT_EQ(link.sent.size(), 1u);
    const Answer a = Parse(link.sent[0]);
    EXPECT_EQ(a.size, 14u);
    EXPECT_EQ(a.word10, 0xFFFF);
    EXPECT_EQ(a.word12, RC_NOMSG);
    Rounds(42);
    EXPECT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(engine->State(), SERVER_IDLE);
}

TEST_F(Engine, AnyDatagramRestartsTheIdleCount) {
    StartServer();
    Post(waiter, 3);
    Rounds(30);
    Send(Bytes{0x01}); // dropped by the receipt rules but still counts as traffic
    Rounds(41);
    EXPECT_TRUE(link.sent.empty());
    Rounds(1);
    EXPECT_EQ(link.sent.size(), 1u);
}

TEST_F(Engine, NoWatchdogWhileNoCommandRuns) {
    StartServer();
    Rounds(100);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(Engine, ModemLineEndsTheSessionTimerOnTheFortySecondEmptyRound) {
    csi_set_modem_mode(1);
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    ASSERT_EQ(engine->State(), SERVER_LOGGED);
    Rounds(41);
    EXPECT_EQ(engine->State(), SERVER_LOGGED);
    Rounds(1);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_TRUE(link.sent.size() == 2u)
        << "no status in modem mode, only connect and login answers";
}

TEST_F(Engine, TimersExpireAtTheirCountedTick) {
    StartServer();
    Exchange(Connect(1)); // 30,000 ms started in this round, which is the first tick
    Rounds(118);
    EXPECT_EQ(engine->Timer().remaining, 250);
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    Rounds(1);
    EXPECT_EQ(engine->State(), SERVER_IDLE);
    // The relink timer of 1,000 ms: the 4th tick.
    Rounds(3);
    EXPECT_EQ(engine->Timer().remaining, 250);
    Rounds(1);
    EXPECT_EQ(engine->Timer().remaining, 60000) << "idle time-out restarts the idle timer";
}

TEST_F(Engine, DisconnectStartsTheTwoSecondTimer) {
    StartServer();
    Exchange(Connect(1));
    Send(Msg(MSG_DISCONNECT, 0, 2, {0, 0}));
    EXPECT_EQ(engine->Timer().remaining, 1750);
}

TEST_F(Engine, TextRestartsARunningTimerAtTwentySecondsOnlyBeforeTheHandlerRestartsIt) {
    StartServer();
    ConnectAndLogin();
    Exchange(FileAnnounce(5821, seq++, 400, 1));
    EXPECT_TRUE(Send(Msg(MSG_TEXT, 5821, seq++, Bytes(64, 'a'))).empty());
    EXPECT_EQ(engine->Timer().remaining, 59750);
}

TEST_F(Engine, EndOfTaskDetachesTheLinkAndFreesTheBuffer) {
    StartServer();
    ConnectAndLogin();
    Exchange(FileAnnounce(5821, seq++, 400, 1));
    engine->End();
    EXPECT_FALSE(link.open);
    EXPECT_FALSE(engine->HoldsFileBuffer());
}

} // namespace
