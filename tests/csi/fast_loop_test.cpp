// The fast engine loop in virtual time: commands and datagrams are handled the moment they
// arrive, while the session timer, the idle watchdog and the walk-down still count ticks of
// 250 ms of waiting; and a whole call puts the same bytes on the wire as the classic round.
#include "csi/csi_config.h"
#include "csi_harness.h"
#include "obj_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class FastLoop : public ::testing::Test, public EngineFixtureBase {
protected:
    FastLoop() {
        engine->UseFastLoop(&pacer);
        link.clock = &sleeper.now;
    }
    bool Logged(const std::string& entry) const {
        return std::find(logs.begin(), logs.end(), entry) != logs.end();
    }
    // Rounds until the entry is logged; the number of rounds it took, or 0 when it never came.
    int RoundsUntilLogged(const std::string& entry, int limit) {
        for (int round = 1; round <= limit; ++round) {
            engine->RunRound();
            if (Logged(entry))
                return round;
        }
        return 0;
    }
    VirtualPacer pacer{sleeper, link, queue};
};

TEST_F(FastLoop, CommandPostedDuringATickIsAnsweredWhenItArrives) {
    int32_t seenAt101 = -1;
    pacer.At(100, [&] { Post(server, 2, 1); });
    pacer.At(101, [&] { seenAt101 = server.word.load(); });
    Rounds(1);
    EXPECT_EQ(seenAt101, CSI_STATUS_DONE) << "the status is written before the tick ends";
    EXPECT_EQ(queue.StatusCount(), 1u) << "the poster is told about the status";
    EXPECT_EQ(sleeper.now, 250u) << "the tick still lasts 250 ms of waiting";
    EXPECT_EQ(engine->Timer().remaining, 59750) << "the start command's timer ticked once";
}

TEST_F(FastLoop, PiecesArrivingWithinOneTickAreEachAcknowledgedOnArrival) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    const Bytes file = BuildObjFile(1000, ObjFault::None, 3);
    Exchange(FileAnnounce(5821, seq++, 1000, 0x0101));
    const uint64_t t0 = sleeper.now;
    const size_t sentBefore = link.sent.size();
    std::vector<uint64_t> arrivals;
    for (size_t at = 0, i = 1; at < file.size(); at += 128, ++i) {
        const size_t n = std::min<size_t>(128, file.size() - at);
        const Bytes piece = Data(5821, seq++, file.data() + at, n, at + n == file.size());
        arrivals.push_back(t0 + 12 * i);
        pacer.At(t0 + 12 * i, [this, piece] { link.inbound.push_back(piece); });
    }
    // Looked at in the same virtual instant as the last piece, right after the engine took it.
    int32_t waiterAtLastArrival = -1;
    pacer.At(arrivals.back(), [&] { waiterAtLastArrival = waiter.word.load(); });
    Rounds(1);

    ASSERT_EQ(link.sent.size(), sentBefore + arrivals.size());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_EQ(link.sentAt[sentBefore + i], arrivals[i]) << "piece " << i;
        EXPECT_EQ(Parse(link.sent[sentBefore + i]).word12, RC_OK);
    }
    EXPECT_EQ(engine->Substate(), TRANSFER_COMPLETE);
    EXPECT_EQ(waiterAtLastArrival, CSI_STATUS_DONE) << "the file is reported as soon as complete";
    EXPECT_EQ(sleeper.now, t0 + 250);
}

TEST_F(FastLoop, ConnectPauseAndHandlingDoNotMakeTicksCatchUp) {
    StartServer();
    const uint64_t before = sleeper.now;
    Answer a = Exchange(Connect(seq++));
    EXPECT_EQ(a.type, MSG_CONNECT);
    EXPECT_EQ(sleeper.now, before + 5000 + 250) << "the pause plus one tick of waiting";
    EXPECT_EQ(engine->Timer().remaining, 29750) << "one tick counted, not twenty-one";
    Rounds(3);
    EXPECT_EQ(engine->Timer().remaining, 29000);
}

TEST_F(FastLoop, SessionTimerCountsTicksHoweverManyDatagramsArrive) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    ASSERT_EQ(engine->State(), SERVER_LOGGED);
    // Datagrams that fail the receipt rules (odd length) reach the engine twice a tick but are
    // never dispatched: they keep the idle watchdog quiet without restarting the session timer.
    const uint64_t t0 = sleeper.now;
    for (uint64_t t = t0 + 100; t < t0 + 250 * 260; t += 125)
        pacer.At(t, [this] { link.inbound.push_back(Bytes(11, 0x55)); });
    const size_t sentBefore = link.sent.size();
    const std::string timedOut = "server|0|SERVER_LOGGED: Timed out while waiting for message.";
    // 60 s are 240 ticks, and the login's own round was the first of them.
    EXPECT_EQ(RoundsUntilLogged(timedOut, 300), 239);
    EXPECT_EQ(link.sent.size(), sentBefore) << "no idle notice while datagrams keep coming";
}

TEST_F(FastLoop, IdleWatchdogSendsItsNoticeAtTheFortySecondSilentTick) {
    StartServer();
    Post(waiter, 3);
    Rounds(1);
    const size_t sentBefore = link.sent.size();
    Rounds(40);
    EXPECT_EQ(link.sent.size(), sentBefore) << "41 silent ticks are not enough";
    Rounds(1);
    ASSERT_EQ(link.sent.size(), sentBefore + 1);
    const Answer a = Parse(link.sent.back());
    EXPECT_EQ(a.type, MSG_STATUS);
    EXPECT_EQ(a.word10, CSI_RESULT_NEGATIVE);
    EXPECT_EQ(a.word12, RC_NOMSG);
}

TEST_F(FastLoop, SilentModemLineEndsTheSessionAtTheFortySecondTickInstead) {
    csi_set_modem_mode(1);
    StartServer();
    Post(waiter, 3);
    Exchange(Connect(seq++));
    ASSERT_EQ(engine->State(), SERVER_CONNECTED);
    const size_t sentBefore = link.sent.size();
    const std::string timedOut = "server|0|SERVER_CONNECTED: Timed out waiting for message.";
    EXPECT_EQ(RoundsUntilLogged(timedOut, 120), 42) << "not the 30 s of the session timer";
    EXPECT_EQ(link.sent.size(), sentBefore) << "a modem line gets no idle notice";
    EXPECT_EQ(engine->State(), SERVER_IDLE);
}

TEST_F(FastLoop, TickEndsAfterAQuarterSecondOfWaitingEvenWhenWokenOften) {
    StartServer();
    const int32_t remaining = engine->Timer().remaining;
    // Records without a status word wake the engine and are dropped.
    for (uint64_t t = sleeper.now + 20; t < sleeper.now + 1000; t += 20)
        pacer.At(t, [this] {
            CsiCommandRecord r;
            r.code = 3;
            queue.Append(r);
        });
    const uint64_t t0 = sleeper.now;
    Rounds(2);
    EXPECT_EQ(sleeper.now, t0 + 500);
    EXPECT_EQ(engine->Timer().remaining, remaining - 500);
    EXPECT_GT(pacer.waits.size(), 20u) << "each wake-up was a separate, shorter wait";
    EXPECT_TRUE(queue.IsEmpty());
}

TEST_F(FastLoop, DatagramsArrivingTogetherAreAnsweredTogether) {
    StartServer();
    Exchange(Connect(seq++));
    const uint64_t t0 = sleeper.now;
    const Bytes login = Login(seq++);
    const Bytes request = Msg(MSG_REQUEST, 5821, seq++);
    pacer.At(t0 + 50, [&] {
        link.inbound.push_back(login);
        link.inbound.push_back(request);
    });
    const size_t sentBefore = link.sent.size();
    Rounds(1);
    ASSERT_EQ(link.sent.size(), sentBefore + 2);
    EXPECT_EQ(link.sentAt[sentBefore], t0 + 50);
    EXPECT_EQ(link.sentAt[sentBefore + 1], t0 + 50) << "the second did not wait for the line";
    EXPECT_EQ(Parse(link.sent.back()).word12, RC_NOREQUEST);
}

// One scripted call and its walk-down, driven round by round, in either pacing. Each datagram
// is put in place before its round, so both pacings see the same datagram in the same round.
struct Transcript {
    std::vector<Bytes> sent;
    std::vector<std::string> logs;
    std::vector<std::string> rounds; // state, substate, timer and statuses after every round
};

Transcript RunScriptedCall(bool fast, bool modem) {
    EngineFixtureBase f;
    VirtualPacer pacer(f.sleeper, f.link, f.queue);
    if (fast)
        f.engine->UseFastLoop(&pacer);
    csi_set_modem_mode(modem ? 1 : 0);
    Transcript t;
    auto round = [&](const Bytes* datagram) {
        if (datagram != nullptr)
            f.link.inbound.push_back(*datagram);
        f.engine->RunRound();
        const CsiSessionTimer& timer = f.engine->Timer();
        t.rounds.push_back(
            std::to_string(f.engine->State()) + "/" + std::to_string(f.engine->Substate()) +
            " timer " + std::to_string(timer.armed) + std::to_string(timer.expired) + " " +
            std::to_string(timer.remaining) + " words " + std::to_string(f.server.word.load()) +
            "," + std::to_string(f.waiter.word.load()) + "," +
            std::to_string(f.confirmer.word.load()));
    };
    auto send = [&](const Bytes& d) { round(&d); };
    auto idle = [&](int n) {
        for (int i = 0; i < n; ++i)
            round(nullptr);
    };

    f.Post(f.server, 2, 1);
    idle(1);
    f.Post(f.waiter, 3);
    idle(50); // an idle notice on the direct line
    uint16_t s = 10;
    send(Connect(s++, 7, 70, 4));
    send(Login(s++));
    const Bytes file = BuildObjFile(700, ObjFault::None, 11);
    send(FileAnnounce(5821, s++, 700, 0x2222));
    for (size_t at = 0; at < file.size(); at += 128) {
        const size_t n = std::min<size_t>(128, file.size() - at);
        send(Data(5821, s++, file.data() + at, n, at + n == file.size()));
    }
    idle(2);
    send(Msg(MSG_FILE_STATUS_QUERY, 5821, s++));
    f.Post(f.confirmer, 4, 1);
    idle(2);
    f.Post(f.waiter, 3);
    send(Msg(MSG_LOGOUT, 5821, s++));
    idle(400); // the walk-down to idle, with the watchdog and the timers meeting on the way
    t.sent = f.link.sent;
    for (const std::string& line : f.logs)
        if (line.find(".ECG") == std::string::npos) // stored file names are random
            t.logs.push_back(line);
    return t;
}

class SamePacingOnTheWire : public ::testing::TestWithParam<bool> {};

TEST_P(SamePacingOnTheWire, WholeCallSendsTheSameBytesInTheSameRounds) {
    const bool modem = GetParam();
    const Transcript classic = RunScriptedCall(false, modem);
    const Transcript fast = RunScriptedCall(true, modem);
    ASSERT_GT(classic.sent.size(), 10u);
    EXPECT_EQ(fast.sent, classic.sent);
    EXPECT_EQ(fast.logs, classic.logs);
    ASSERT_EQ(fast.rounds.size(), classic.rounds.size());
    for (size_t i = 0; i < fast.rounds.size(); ++i)
        ASSERT_EQ(fast.rounds[i], classic.rounds[i]) << "round " << i;
}

INSTANTIATE_TEST_SUITE_P(DirectAndModem, SamePacingOnTheWire, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Modem") : std::string("Direct");
                         });

} // namespace
