// The CSI engine over the in-memory link, in virtual time.
#include "csi_harness.h"
#include "obj_builder.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t S = CSI_DEFAULT_SESSION_CODE;
constexpr uint16_t NEG = CSI_RESULT_NEGATIVE;
const char* const kBad = "Bad authorization code!";
const char* const kTooBig = "100,000 bytes max";
const Bytes kText64(64, 'x');

Bytes Query(uint16_t sequence) {
    return Msg(MSG_FILE_STATUS_QUERY, S, sequence);
}
Bytes Verdict(uint16_t sequence, uint16_t flag, uint16_t id) {
    return Msg(MSG_FILE_STATUS, S, sequence, Words({flag, id}));
}

class Call : public ::testing::Test, public EngineFixtureBase {};

// What each state answers to each message: the exact reply, the state it leaves, the timer.
enum Setup { Idle, Conn, Logd, Recv, Done, Pend }; // logged in, receiving, complete, pending
struct Row {
    const char* name;
    Setup setup;
    Bytes message, reply; // no reply: no answer at all
    uint16_t state, substate;
    int32_t timer; // remaining after the round, -1 not checked
};

// clang-format off
const Row kRows[] = {
    {"IdleLogin", Idle, Login(50), Status(0, 50, NEG, RC_NOMSG), 0, 0, 59500},
    {"Connect", Idle, Connect(50, 1, 2, 9), Msg(MSG_CONNECT, 0, 50, Words({7, 6, 5})), 100, 0, 29750},
    {"LongerThanLength", Idle, Bytes{16, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 2, 0, 3, 0, 0}, {}, 0, 0, -1},
    {"Oversized", Idle, Bytes(600, 0x55), {}, 0, 0, -1},
    {"ConnectAgain", Conn, Connect(50, 1, 2, 0xFFFF), Msg(MSG_CONNECT, 0, 50, Words({7, 6, 3})), 100, 0, 29750},
    {"ConnectedQuery", Conn, Query(50), Status(0, 50, NEG, RC_NOMSG), 100, 0, 29750},
    {"Disconnect", Conn, Msg(MSG_DISCONNECT, 0, 50, {0, 0}), {}, 0, 0, 1750},
    {"Login", Conn, Login(50), Status(S, 50, 0, RC_OK), 200, 0, 59750},
    {"LogoutBadCode", Logd, Msg(MSG_LOGOUT, 1, 50), Status(0, 50, NEG, RC_BADAUTH, kBad), 200, 0, 59750},
    {"FileBadCode", Logd, FileAnnounce(1, 50, 100, 1), Status(0, 50, NEG, RC_BADAUTH, kBad), 200, 0, 59750},
    {"Request", Logd, Msg(MSG_REQUEST, S, 50, {1, 0, 2, 0}), Status(S, 50, NEG, RC_NOREQUEST, "This device does not accept requests!"), 200, 0, 59750},
    {"QueryAnyCode", Logd, Msg(MSG_FILE_STATUS_QUERY, 1, 50), Verdict(50, 2, 0), 200, 0, 59750},
    {"TextAnyCode", Logd, Msg(MSG_TEXT, 1, 50, kText64), {}, 200, 0, 59750},
    {"LoggedType7777", Logd, Msg(0x7777, S, 50), Status(S, 50, NEG, RC_NOMSG), 200, 0, 59750},
    {"Logout", Logd, Msg(MSG_LOGOUT, S, 50), Status(S, 50, 0, RC_OK), 100, 0, 29750},
    {"File350000", Logd, FileAnnounce(S, 50, 350000, 1), Status(S, 50, 0, RC_OK), 300, 301, 59750},
    {"File350001", Logd, FileAnnounce(S, 50, 350001, 1), Status(S, 50, NEG, RC_FILE, kTooBig), 200, 0, 59750},
    {"FileType1", Logd, FileAnnounce(S, 50, 100, 1, 1), Status(S, 50, NEG, RC_FILE, kTooBig), 200, 0, 59750},
    {"FileTruncated", Logd, Msg(MSG_FILE, S, 50), Status(S, 50, 0, RC_OK), 300, 301, 59750},
    {"DataBadCode", Recv, Data(1, 50, kText64.data(), 64, false), Status(0, 50, NEG, RC_BADAUTH, kBad), 300, 301, 59750},
    {"DataText", Recv, Msg(MSG_TEXT, S, 50, kText64), {}, 300, 301, 59750},
    {"DataRequest", Recv, Msg(MSG_REQUEST, S, 50), Status(S, 50, NEG, RC_NOMSG), 300, 301, 59750},
    {"DataTooMuch", Recv, Msg(MSG_DATA, S, 50, Bytes(201, 1)), Status(S, 50, NEG, RC_FILE), 300, 301, 59750},
    {"DataLogout", Recv, Msg(MSG_LOGOUT, S, 50), Status(S, 50, 0, RC_OK), 100, 0, 29750},
    {"CompleteQuery", Done, Query(50), {}, 300, 302, 0},
    {"CompleteText", Done, Msg(MSG_TEXT, S, 50, kText64), {}, 300, 302, 0}, // starts no timer
    {"CompleteRequest", Done, Msg(MSG_REQUEST, S, 50), Status(S, 50, NEG, RC_NOMSG), 300, 302, 0},
    {"FaultyQuery", Pend, Query(50), Verdict(50, 2, 0x0A0B), 200, 0, 59750},
    {"FaultyRequest", Pend, Msg(MSG_REQUEST, S, 50), Status(S, 50, NEG, RC_NOMSG), 300, 303, 59750},
    {"FaultyNewFile", Pend, FileAnnounce(S, 50, 300, 2), Status(S, 50, 0, RC_OK), 300, 301, 59750},
};
// clang-format on

class SessionReply : public ::testing::TestWithParam<Row>, public EngineFixtureBase {};

TEST_P(SessionReply, ExactAnswerNextStateAndTimer) {
    const Row& r = GetParam();
    StartServer();
    if (r.setup >= Conn)
        Send(Connect(1, 1, 2, 3));
    if (r.setup >= Logd)
        Send(Login(2));
    if (r.setup == Recv)
        Send(FileAnnounce(S, 3, 200, 1));
    if (r.setup >= Done)
        SendWholeFile(BuildObjFile(300, r.setup == Pend ? ObjFault::KindZero : ObjFault::None),
                      0x0A0B);
    const int opens = link.opens;
    EXPECT_EQ(Send(r.message),
              r.reply.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{r.reply});
    EXPECT_EQ(std::make_pair(engine->State(), engine->Substate()),
              std::make_pair(r.state, r.substate));
    EXPECT_TRUE(r.timer < 0 || engine->Timer().remaining == r.timer) << engine->Timer().remaining;
    EXPECT_TRUE(r.state < SERVER_LOGGED || engine->SessionCode() == S) << "kept after a refusal";
    EXPECT_EQ(csi_get_call_active(), r.state != SERVER_IDLE);
    EXPECT_EQ(link.opens - opens, r.state == SERVER_IDLE && r.setup != Idle) << "re-attached";
}

INSTANTIATE_TEST_SUITE_P(Table, SessionReply, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Command 3's status (10 only for identifier 7 and station type 70 or 71) and the verdict for
// each kind of file: from the stored flag; a faulty or listless file is never stored.
TEST_F(Call, EachKindOfFileGetsItsStatusAndVerdict) {
    const struct {
        uint16_t id, station;
        ObjFault fault;
        bool list, destination, postFirst;
        int32_t status;
        uint16_t verdict;
    } rows[] = {
        // identifier, station type, fault, list, destination, command 3 first
        {7, 70, ObjFault::None, true, true, true, CSI_STATUS_FILE_CONFIRM, 1},
        {7, 72, ObjFault::None, true, true, true, CSI_STATUS_DONE, 1},
        {8, 70, ObjFault::None, true, true, true, CSI_STATUS_DONE, 1},
        {7, 70, ObjFault::None, true, true, false, CSI_STATUS_FILE_CONFIRM, 1},
        {1, 2, ObjFault::None, true, false, true, CSI_STATUS_DONE, 2},
        {1, 2, ObjFault::ObjectChecksum, true, true, true, CSI_STATUS_RUNNING, 2},
        {1, 2, ObjFault::None, false, true, true, CSI_STATUS_RUNNING, 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        EngineFixtureBase f;
        f.stationId = 0x0403; // bytes 3, 4: session code 3004
        csi_set_destination(r.destination ? f.tempDir.c_str() : nullptr);
        f.StartServer();
        if (r.postFirst)
            f.Post(f.waiter, 3, 0, "INT", r.list);
        f.Send(Connect(1, r.id, r.station));
        EXPECT_EQ(f.Reply(Login(2)), Status(3004, 2, 0, RC_OK));
        f.stationId = 0;
        f.Send(Login(3));
        f.SendWholeFile(BuildObjFile(400, r.fault), 0x0102);
        if (!r.postFirst)
            f.Post(f.waiter, 3);
        f.Rounds(1);
        EXPECT_EQ(f.waiter.word.load(), r.status);
        if (r.status != CSI_STATUS_RUNNING) // the communication task confirms what it stored
            f.Post(f.confirmer, 4, csi_get_file_stored()), f.Rounds(1);
        EXPECT_EQ(f.Reply(Query(77)), Verdict(77, r.verdict, 0x0102));
        EXPECT_EQ(f.engine->State(), SERVER_LOGGED);
        EXPECT_EQ(f.Files(".ECG").size() + f.Files(".TMP").size(), r.verdict == 1 ? 1u : 0u);
        EXPECT_EQ(f.Logged("server|0|Error in received file."), r.status == CSI_STATUS_RUNNING);
    }
}

// Answers lost on the way: a repeated piece is taken once, a piece whose answer was lost when it
// comes again, a file whose acceptance was lost not at all. Sequence numbers wrap to 0.
TEST_F(Call, LostAnswersNeitherDoubleNorDropAPiece) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    link.failSends = 1;
    EXPECT_TRUE(Send(FileAnnounce(S, 0xFFFC, 500, 9)).empty());
    EXPECT_EQ(
        std::make_tuple(engine->State(), engine->HoldsFileBuffer(), engine->Timer().remaining),
        std::make_tuple(uint16_t(SERVER_LOGGED), false, 59750));
    EXPECT_EQ(Reply(FileAnnounce(S, 0xFFFD, 500, 9)), Status(S, 0xFFFD, 0, RC_OK));
    const Bytes file = BuildObjFile(500);
    const std::tuple<uint16_t, size_t, bool> pieces[] = {// sequence, offset, answer lost
                                                         {0xFFFE, 0, true},    {0xFFFE, 0, false},
                                                         {0xFFFF, 128, false}, {0xFFFF, 128, false},
                                                         {0, 256, false},      {1, 384, false}};
    for (const auto& [sequence, at, lost] : pieces) {
        link.failSends = lost ? 1 : 0;
        EXPECT_EQ(
            Reply(Data(S, sequence, file.data() + at, std::min<size_t>(128, 500 - at), at == 384)),
            lost ? Bytes{} : Status(S, sequence, 0, RC_OK));
    }
    Rounds(1);
    ASSERT_EQ(Files(".ECG").size(), 1u);
    EXPECT_EQ(testsupport::ReadFile(Files(".ECG")[0]), std::string(file.begin(), file.end()));
}

TEST_F(Call, VerdictPendingEndsCommandFourOnTimeOutNewFileOrLogout) {
    const uint16_t states[] = {SERVER_LOGGED, SERVER_TRANSFER, SERVER_CONNECTED};
    for (int how = 0; how < 3; ++how) { // silence until the time-out, a new file, logout
        SCOPED_TRACE(how);
        EngineFixtureBase f;
        f.StartServer();
        f.Post(f.waiter, 3);
        f.ConnectAndLogin();
        f.SendWholeFile(BuildObjFile(300));
        f.Rounds(1);
        ASSERT_EQ(f.Command(f.confirmer, 4, 1), CSI_STATUS_RUNNING) << "no query yet";
        if (how == 0)
            f.Rounds(239);
        else
            EXPECT_EQ(f.Reply(how == 1 ? FileAnnounce(S, 90, 300, 2) : Msg(MSG_LOGOUT, S, 90)),
                      Status(S, 90, 0, RC_OK));
        EXPECT_EQ(f.confirmer.word.load(), CSI_STATUS_DONE);
        EXPECT_EQ(f.engine->State(), states[how]);
        EXPECT_EQ(f.engine->HoldsFileBuffer(), how == 1);
        EXPECT_EQ(f.Logged("server|0|Timeout occurred while receiving file."), how == 0);
    }
}

TEST_F(Call, OnlyTheFirstIdleTimeOutOfAWaitReportsNoCall) {
    StartServer(0);
    Post(waiter, 3);
    Rounds(239);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_NO_CALL);
    Post(waiter, 3);
    Rounds(480);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_RUNNING);
}

// Commands: the word goes to "running" when the engine takes a command, then to its status.
TEST_F(Call, CommandsAreMarkedRunningThenEndWithTheirStatus) {
    for (const auto& [code, status] : {std::pair<uint32_t, int32_t>{1, CSI_STATUS_DONE},
                                       {2, CSI_STATUS_DONE},
                                       {3, CSI_STATUS_NOT_ALLOWED},
                                       {5, CSI_STATUS_FAILURE},
                                       {0, CSI_STATUS_FAILURE}}) {
        EngineFixtureBase f;
        int32_t duringRound = -1;
        f.sleeper.onSleep = [&](uint32_t) { duringRound = f.waiter.word.load(); };
        f.Post(f.waiter, code);
        f.waiter.word.store(CSI_STATUS_NONE); // a poster that did not set it itself
        f.Rounds(1);
        EXPECT_EQ(std::make_tuple(duringRound, f.waiter.word.load(), f.queue.StatusCount()),
                  std::make_tuple(int32_t(CSI_STATUS_RUNNING), status, uint64_t(1)))
            << code;
    }
    link.failOpen = true;
    EXPECT_EQ(Command(server, 2), CSI_STATUS_FAILURE);
    link.failOpen = false, link.failSetup = true;
    EXPECT_EQ(Command(server, 2), CSI_STATUS_FAILURE);
    EXPECT_FALSE(link.open || engine->LinkIsOpen()) << "a failed set-up detaches the line";
    link.failSetup = false;
    EXPECT_EQ(Command(server, 2, 0, std::string(24, 'n').c_str()), CSI_STATUS_FAILURE);
    EXPECT_EQ(Command(server, 2), CSI_STATUS_DONE);
    EXPECT_EQ(engine->Timer().remaining, 59750);
    EXPECT_EQ(Command(confirmer, 4, 1), CSI_STATUS_NOT_ALLOWED) << "no file to confirm";
    Send(Connect(1));
    EXPECT_EQ(Command(server, 2), CSI_STATUS_NOT_ALLOWED) << "start again during a call";
    CsiCommandRecord orphan; // nobody waits for it: not performed
    orphan.code = 1;
    queue.Append(orphan);
    Rounds(1);
    EXPECT_TRUE(queue.IsEmpty());
    EXPECT_EQ(engine->State(), SERVER_CONNECTED);
    EXPECT_EQ(Command(waiter, 3), CSI_STATUS_RUNNING);
    Poster late; // posted while command 3 runs: consumed and never answered
    EXPECT_EQ(Command(late, 4, 1), CSI_STATUS_RUNNING);
    Send(Login(2));
    SendWholeFile(BuildObjFile(28));
    Rounds(1);
    EXPECT_EQ(std::make_pair(waiter.word.load(), late.word.load()),
              std::make_pair(int32_t(CSI_STATUS_DONE), int32_t(CSI_STATUS_RUNNING)));
}

TEST_F(Call, ResetEndsTheCallAndATaskBegunAgainStartsFromScratch) {
    StartServer();
    Post(waiter, 3);
    ConnectAndLogin();
    Send(FileAnnounce(S, seq++, 100, 1));
    waiter.word.store(CSI_STATUS_CANCELLED); // the poster gave up, as on a stop event
    Poster reset;
    EXPECT_EQ(Command(reset, 1), CSI_STATUS_DONE);
    EXPECT_EQ(waiter.word.load(), CSI_STATUS_CANCELLED) << "nothing more into a dropped word";
    EXPECT_EQ(engine->Role() + engine->State(), 0);
    EXPECT_FALSE(engine->HoldsFileBuffer() || link.open);
    EXPECT_TRUE(Send(Connect(9)).empty()) << "no role, nothing dispatched";
    StartServer();
    ConnectAndLogin();
    Post(waiter, 3);
    SendWholeFile(BuildObjFile(28));
    Rounds(1);
    ASSERT_TRUE(engine->HoldsObjectList());
    Send(FileAnnounce(S, seq++, 100, 1));
    engine->End();
    EXPECT_FALSE(link.open || engine->HoldsFileBuffer() || engine->HoldsObjectList())
        << "the end of the task frees all";
    engine->Begin(&shared);
    EXPECT_EQ(engine->Role() + engine->State() + engine->SessionCode(), 0);
    EXPECT_FALSE(engine->Timer().armed);
}

TEST_F(Call, FailedConnectAnswersAndRelinksAreRecoveredFrom) {
    StartServer();
    link.failSends = 1;
    EXPECT_TRUE(Send(Connect(1)).empty());
    EXPECT_EQ(engine->State(), SERVER_IDLE) << "no answer, no state change";
    EXPECT_TRUE(csi_get_call_active()) << "set before the answer went out";
    Send(Connect(2));
    link.failSends = 1;
    EXPECT_TRUE(Send(Connect(3)).empty());
    EXPECT_FALSE(engine->Timer().armed) << "no timer until the next message";
    link.failOpen = true;
    Send(Msg(MSG_DISCONNECT, 0, 4, {0, 0}));
    link.failOpen = false;
    Rounds(6);
    EXPECT_FALSE(engine->LinkIsOpen());
    Rounds(1); // the 2,000 ms timer expires at the 8th tick counting the disconnect's own
    EXPECT_TRUE(engine->LinkIsOpen()) << "a failed relink is retried at the idle time-out";
}

// One call and its walk-down, in either pacing. What the device sends and the poster posts
// comes at the start of a classic round; the fast loop gets it at the same virtual instant, so
// it may wait through quiet ticks but must not let one pass that should have seen it.
struct CallRun {
    std::vector<std::string> trace; // state, timer and words after every tick, then the log
    std::vector<Bytes> sent;
    size_t sentBeforeConfirm = 0;
    std::string stored;
    std::vector<uint32_t> sleeps;
    std::vector<uint64_t> starts; // the virtual instant at which each classic round began
    std::vector<size_t> mistimed; // ticks that acted before their start or after their end
};

enum class Pacing { Classic, QuietClassic, Fast };

CallRun ScriptedCall(Pacing pacing, bool modem, const Bytes& file,
                     const std::vector<uint64_t>& classicStarts = {}) {
    const bool waits = pacing != Pacing::Classic; // on a pacer, so things come at instants
    EngineFixtureBase f;
    VirtualPacer pacer(f.sleeper, f.link, f.queue);
    // The quiet classic round must find what came during a tick at the tick's end, and not
    // count a tick more when its wait ends a little late, as real ones do.
    const uint64_t early = pacing == Pacing::QuietClassic ? 100 : 0;
    if (pacing == Pacing::Fast)
        f.engine->UseFastLoop(&pacer);
    else if (pacing == Pacing::QuietClassic)
        f.engine->UseQuietWait(&pacer), pacer.overshootMs = 1;
    csi_set_modem_mode(modem);
    CallRun run;
    std::vector<std::function<void()>> arrivals; // at the start of each round
    std::vector<bool> bytesOnly;                 // nothing posted with them
    auto round = [&](const Bytes& datagram, std::function<void()> post = nullptr) {
        arrivals.emplace_back();
        bytesOnly.push_back(!post);
        if (post || !datagram.empty())
            arrivals.back() = [&f, datagram, post] {
                if (post)
                    post();
                if (!datagram.empty())
                    f.link.inbound.push_back(datagram);
            };
    };
    round({}, [&] { f.Post(f.server, 2, 1); });
    round({}, [&] { f.Post(f.waiter, 3); });
    for (int i = 1; i < 50; ++i)
        round({});
    uint16_t s = 10;
    std::vector<Bytes> script = {Connect(s++, 7, 70, 4), Login(s++),
                                 FileAnnounce(S, s++, uint32_t(file.size()), 0x2222)};
    for (size_t at = 0, n; at < file.size(); at += n) {
        n = std::min<size_t>(128, file.size() - at);
        script.push_back(Data(S, s++, file.data() + at, n, at + n == file.size()));
    }
    script.insert(script.end(), {{}, {}, Query(s++)});
    for (const Bytes& d : script)
        round(d);
    round({}, [&] {
        run.sentBeforeConfirm = f.link.sent.size();
        f.Post(f.confirmer, 4, 1);
    });
    round({});
    round(Query(s++), [&] { // asked again once confirmed
        if (f.Files(".TMP").empty() && f.Files(".ECG").size() == 1)
            run.stored = testsupport::ReadFile(f.Files(".ECG")[0]);
        f.Post(f.waiter, 3);
    });
    round(Msg(MSG_LOGOUT, S, s++));
    for (int i = 0; i < 400; ++i)
        round({});

    for (size_t k = 0; k < arrivals.size(); ++k)
        if (waits && arrivals[k])
            pacer.At(classicStarts.at(k) - std::min(early, classicStarts.at(k)), arrivals[k],
                     bytesOnly[k]);
    // What the engine has done so far; a tick may be counted after its end, but nothing may
    // happen then that had not happened before the engine began to wait.
    auto done = [&] {
        const CsiSessionTimer& t = f.engine->Timer();
        char line[96];
        std::snprintf(line, sizeof line, "%d/%d %d%d %d,%d,%d %zu %zu", f.engine->State(),
                      f.engine->Substate(), t.armed, t.expired, f.server.word.load(),
                      f.waiter.word.load(), f.confirmer.word.load(), f.link.sent.size(),
                      f.log.Lines().size());
        return std::string(line);
    };
    std::string before;
    pacer.onWait = [&] { before = done(); };
    for (size_t k = 0; k < arrivals.size(); ++k) {
        run.starts.push_back(f.sleeper.now);
        if (!waits && arrivals[k])
            arrivals[k]();
        else if (waits && !f.engine->OwesTick())
            pacer.Release(); // a round that looks finds what came at its start
        f.engine->RunRound();
        const std::string after = done();
        const bool late = k + 1 < classicStarts.size() && f.sleeper.now > classicStarts[k + 1] + 50;
        if (waits && after != before && (late || run.starts[k] < classicStarts[k]))
            run.mistimed.push_back(k);
        before = after;
        run.trace.push_back(after + " " + std::to_string(f.engine->Timer().remaining));
    }
    run.sent = f.link.sent;
    run.sleeps = f.sleeper.sleeps;
    for (const std::string& line : f.log.Lines())
        run.trace.push_back(line.find(".ECG") == std::string::npos ? line : "stored");
    return run;
}

// Every answer byte of a whole call, the stored file and the pauses; the fast loop must send,
// log and be in the state the classic round does after every round.
TEST(WholeCall, AnswersEveryMessageByteForByteInBothPacings) {
    const Bytes file = BuildObjFile(700, ObjFault::None, 11);
    const CallRun classic = ScriptedCall(Pacing::Classic, false, file);
    // The first negative status comes in the 50 silent rounds before the call, the others
    // after it, answering the last message received.
    std::vector<Bytes> answers = {Status(0, 0, NEG, RC_NOMSG),
                                  Msg(MSG_CONNECT, 0, 10, Words({7, 6, 4}))};
    for (uint16_t s = 11; s <= 18; ++s) // login (with the new code), file, six pieces
        answers.push_back(Status(S, s, 0, RC_OK));
    answers.insert(answers.end(),
                   {Verdict(19, 1, 0x2222), Verdict(20, 1, 0x2222), Status(S, 21, 0, RC_OK)});
    answers.insert(answers.end(), 400 / 42, Status(S, 21, NEG, RC_NOMSG));
    EXPECT_EQ(classic.sent, answers);
    EXPECT_EQ(classic.sentBeforeConfirm, 10u) << "the verdict waits for command 4";
    EXPECT_EQ(classic.stored, std::string(file.begin(), file.end()));
    EXPECT_EQ(std::count(classic.sleeps.begin(), classic.sleeps.end(), 5000u), 1)
        << "the pause after the connect answer";
    EXPECT_GE(std::count(classic.sleeps.begin(), classic.sleeps.end(), 500u), 1)
        << "the pause before the re-attach";
    for (const auto& [pacing, modem] : {std::pair{Pacing::QuietClassic, false},
                                        {Pacing::QuietClassic, true},
                                        {Pacing::Fast, false},
                                        {Pacing::Fast, true}}) {
        SCOPED_TRACE(testing::Message() << (pacing == Pacing::Fast ? "fast" : "quiet classic")
                                        << (modem ? " on a modem" : ""));
        const CallRun slow = modem ? ScriptedCall(Pacing::Classic, true, file) : classic;
        const CallRun run = ScriptedCall(pacing, modem, file, slow.starts);
        EXPECT_EQ(run.trace, slow.trace);
        EXPECT_EQ(run.sent, slow.sent);
        EXPECT_EQ(run.stored, slow.stored);
        EXPECT_EQ(run.mistimed, std::vector<size_t>()) << "a tick that acts came early or late";
    }
}

} // namespace
