// The process entry: command line, start-up and shut-down order, and the end-event thread.
#include "comm/csi_comm.h"
#include "platform/stop_request.h"
#include "server/cmn_pipe.h"
#include "server/command_line.h"
#include "server/process_entry.h"
#include "server/process_state.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace testsupport;
using Strings = std::vector<std::string>;

std::vector<const char*> Argv(const Strings& args) {
    std::vector<const char*> argv{"ecgcomm"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return argv;
}

TEST(CommandLine, OptionsNumbersAndTheMaskTheySet) {
    const struct {
        Strings args;
        uint32_t mask;
        int32_t comPort, baudCode;
    } rows[] = {
        // clang-format off
        {{"-comport", "256"}, PARAM_COMPORT, 256, 576},
        {{"-comport", "+1x"}, PARAM_COMPORT, 1, 576}, // read like atoi
        {{"-comport", "257"}, 0, 1, 576},
        {{"-comport", " 7"}, PARAM_COMPORT, 7, 576},
        {{"-comport", "-99999999999"}, 0, 1, 576},
        {{"-baudrate", "48"}, PARAM_BAUDRATE, 1, 48},
        {{"-baudrate", "1152"}, PARAM_BAUDRATE, 1, 1152},
        {{"-baudrate", "57600"}, 0, 1, 576},
        // a rejected value keeps the earlier one
        {{"-comport", "3", "-comport", "x", "-baudrate", "96", "-baudrate", "192"}, PARAM_COMPORT | PARAM_BAUDRATE, 3, 192},
        // unknown options are skipped alone; "+++" then ends the parsing
        {{"-verbose", "-comport", "2", "-hangup_prefix", "+++", "-baudrate", "96"}, PARAM_COMPORT, 2, 576},
        {{"-COMPORT", "2", "-Baudrate", "96", "-comport"}, 0, 1, 576},
        {{"-initstring", "ATZ", "-hangup-prefix", "+", "-hangup-suffix", "ATH0", "-pipename", ""},
         PARAM_INITSTRING | PARAM_HANGUP_PREFIX | PARAM_HANGUP_SUFFIX, 1, 576},
        {{"-pipename", "p", "-pipename", "", "-pipename"}, PARAM_PIPENAME, 1, 576},
        // clang-format on
    };
    for (const auto& r : rows) {
        const auto argv = Argv(r.args);
        const CommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(std::make_tuple(cl.mask, cl.comPort, cl.baudCode),
                  std::make_tuple(r.mask, r.comPort, r.baudCode))
            << r.args[0] << " " << r.args[1];
        EXPECT_EQ(cl.initString + cl.hangupPrefix + cl.hangupSuffix + cl.pipeName,
                  &r == &rows[11] ? "ATZ+ATH0" : "")
            << "a later empty value empties the string but keeps the bit";
    }
    EXPECT_EQ(ReadNumber("99999999999") + ReadNumber("-2147483648"), -1) << "saturated";
    for (uint32_t mask = 0; mask < 0x80; ++mask) // all four required, all or no modem strings
        EXPECT_EQ(ValidateParameters(mask), (mask & 0x0F) == 0x0F && (mask >> 4) % 7 == 0) << mask;
    EXPECT_TRUE(ValidateParameters(0x7F) && g_bUseModem);
    EXPECT_TRUE(ValidateParameters(0x0F) && !g_bUseModem) << "set again on every validation";
}

// The entry with doubles that record every step, in order, with what is logged meanwhile.
Strings* g_events = nullptr;
std::mutex g_eventsLock; // the end-event thread records too

void Record(const std::string& e) {
    std::lock_guard<std::mutex> guard(g_eventsLock);
    if (g_events != nullptr)
        g_events->push_back(e);
}

class FakeFrontEnd : public CCSIComm {
public:
    explicit FakeFrontEnd(int32_t startResult) : CCSIComm("dir"), m_start(startResult) {}
    int32_t StartServerMode() override { return Record("StartServerMode"), m_start; }
    int32_t HandleFileStatus() override {
        Record("HandleFileStatus");
        if (++m_files == 2)
            g_bRunning = false; // stands in for an end event during the second wait
        return 4;
    }
    ~FakeFrontEnd() override { Record("delete front-end"); }

private:
    int32_t m_start, m_files = 0;
};

struct Options {
    bool frontEnd = true, pipe = true, pipeOpens = true, thread = true, threadExited = false;
    int32_t startResult = 0;
    bool framework = true;
};

int RunEntry(const Strings& args, const Options& o, Strings* events) {
    g_events = events;
    SetLogObserver([](const std::string& source, const std::string& text, int level) {
        EXPECT_EQ(source, "ServerMain");
        Record("log:" + std::to_string(level) + ":" + text);
    });
    EntrySeams seams;
    seams.initFramework = [&o] { return o.framework; };
    seams.makeFrontEnd = [&o](const CommandLine&, bool useModem) -> std::unique_ptr<CCSIComm> {
        Record(useModem ? "make modem" : "make serial");
        return o.frontEnd ? std::make_unique<FakeFrontEnd>(o.startResult) : nullptr;
    };
    seams.makePipe = [&o]() {
        return Record("make pipe"), o.pipe ? std::make_unique<CCmnPipe>() : nullptr;
    };
    seams.openPipe = [&o](CCmnPipe&, const std::string& name) {
        return Record("open pipe " + name), o.pipeOpens;
    };
    seams.endEventProcedure = [] { return Record("end-event thread runs"), 0u; };
    seams.makeThread = [&o](std::function<unsigned()> proc) -> std::unique_ptr<CSuspendedThread> {
        Record("make thread");
        auto t = o.thread ? CSuspendedThread::Create(proc) : nullptr;
        if (t != nullptr && o.threadExited)
            t->Join(); // its handle is no longer valid when the entry looks
        return t;
    };
    const auto argv = Argv(args);
    const int rc = RunProcessEntry(static_cast<int>(argv.size()), argv.data(), seams);
    SetLogObserver(nullptr);
    std::lock_guard<std::mutex> guard(g_eventsLock);
    g_events = nullptr;
    EXPECT_TRUE(g_pCommInterface == nullptr && g_pPipe == nullptr && g_pIpcThread == nullptr);
    return rc;
}

class Entry : public ::testing::Test {
protected:
    void SetUp() override { UseProfile(m_dir); }
    Strings Args(const std::string& pipe) {
        return {"-comport",   "1",           "-baudrate", "576",
                "-directory", m_dir / "out", "-pipename", pipe};
    }
    TempDir m_dir;
};

const std::string kStart = "log:2:Starting communication process. Version V7.0.";
const std::string kExit = "log:2:Exiting communication-process.";
const std::string kLoop = "HandleFileStatus";

TEST_F(Entry, EveryWayTheStartCanEndUndoesWhatExistsInReverseOrder) {
    const Strings modem = {"-initstring", "ATZ", "-hangup-prefix", "+++", "-hangup-suffix", "ATH"};
    const Strings upToThread = {"make serial", "StartServerMode", "make pipe", "open pipe ctl",
                                "make thread"};
    const struct {
        const char* pipe;
        Strings extra;
        Options o;
        int exitCode;
        Strings tail;
    } rows[] = {
        // clang-format off
        {"nopipe", {}, {}, 0, {"make serial", "StartServerMode", "log:2:Starting CSI task.", kLoop, kLoop,
                               "log:2:CSI task stopped.", "delete front-end"}},
        {"ctl", {}, {}, 0, {"make thread", "log:2:Starting CSI task.", kLoop, kLoop, "log:2:CSI task stopped.",
                            "log:2:Waiting for interprocess-communication thread to end.",
                            "log:2:Interprocess-communication thread exited.", "delete front-end"}},
        {"nopipe", modem, {true, true, true, true, false, 1}, 0, {"make modem", "StartServerMode", "delete front-end"}},
        {"ctl", {"-initstring", "ATZ"}, {}, 1, {"log:0:Unable to start CSI task. Parameters are invalid / missing."}},
        {"ctl", {}, {false}, 0, {"make serial", "log:0:Error creating communication-interface."}},
        {"ctl", {}, {true, false}, 0, {"make serial", "StartServerMode", "make pipe", "log:0:Error creating pipe.",
                                       "delete front-end"}},
        {"ctl", {}, {true, true, false}, 0, {"make serial", "StartServerMode", "make pipe", "open pipe ctl",
                                             "log:0:Error opening pipe.", "delete front-end"}},
        {"ctl", {}, {true, true, true, false}, 0, {"make thread", "log:0:Error creating interprocess-communication thread.",
                                                   "delete front-end"}},
        {"ctl", {}, {true, true, true, true, true}, 0, {"make thread", "end-event thread runs", "log:2:Starting CSI task.",
                                                        kLoop, kLoop, "log:2:CSI task stopped.",
                                                        "log:2:Interprocess-communication thread already exited.",
                                                        "delete front-end"}},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.tail.back());
        Strings args = Args(r.pipe), events, expected{kStart};
        args.insert(args.end(), r.extra.begin(), r.extra.end());
        EXPECT_EQ(RunEntry(args, r.o, &events), r.exitCode);
        const auto ran = std::find(events.begin(), events.end(), "end-event thread runs");
        if (ran != events.end() && !r.o.threadExited) // when it runs is the thread's own affair
            events.erase(ran);
        if (r.tail[0] == "make thread")
            expected.insert(expected.end(), upToThread.begin(), upToThread.end() - 1);
        expected.insert(expected.end(), r.tail.begin(), r.tail.end());
        expected.push_back(kExit);
        EXPECT_EQ(events, expected);
    }
    // The log is on disk by the time the entry returns, its last line included.
    std::string newest;
    for (const auto& e : fs::recursive_directory_iterator(m_dir.Path()))
        if (e.path().extension() == ".log" &&
            (newest.empty() || fs::last_write_time(e.path()) >= fs::last_write_time(newest)))
            newest = e.path().string();
    ASSERT_FALSE(newest.empty());
    const std::string text = ReadFile(newest);
    EXPECT_NE(text.rfind("Exiting communication-process."), std::string::npos);
    EXPECT_GT(text.rfind("Exiting communication-process."), text.rfind("Starting CSI task."));
    Options noFramework;
    noFramework.framework = false;
    testing::internal::CaptureStderr();
    Strings events;
    Strings args = Args("ctl");
    args[5] = m_dir / "never";
    EXPECT_EQ(RunEntry(args, noFramework, &events), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fatal Error: MFC initialization failed\n");
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(fs::exists(m_dir / "never")) << "not even parsed";
}

// The end-event thread against a real control pipe and a front-end double.
class EndEvents : public ::testing::Test, public CCSIComm {
protected:
    EndEvents() : CCSIComm("") {}
    int32_t StartServerMode() override { return 0; }
    void CancelTask() override { ++cancels; }
    bool IsCommunicationInProgress() override { return inCall.load(); }
    void SetUp() override {
        std::string name = "ecgcomm-events-" + std::to_string(std::random_device()());
#ifndef _WIN32
        name = m_dir / name; // a socket path of its own
#endif
        ASSERT_TRUE(parent.Open(name, true) && child.Open(name, false));
        g_pCommInterface = this;
        g_pPipe = &child;
        g_bRunning = g_bCommActive = true;
        thread = std::async(std::launch::async, [] { return EndEventThread(); });
    }
    void TearDown() override {
        g_bCommActive = false;
        parent.Close(); // unblocks a read still pending
        thread.wait();
        g_pCommInterface = nullptr;
        g_pPipe = nullptr;
        g_bRunning = g_bCommActive = true;
    }
    void Send(std::vector<unsigned char> b) {
        ASSERT_TRUE(parent.Write(b.data(), static_cast<uint32_t>(b.size()), nullptr));
    }
    bool Ended() {
        return thread.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }
    bool StillReading() {
        return thread.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout;
    }
    TempDir m_dir;
    LogCapture log;
    CCmnPipe parent, child;
    std::future<unsigned> thread;
    std::atomic<int> cancels{0};
    std::atomic<bool> inCall{false};
};

TEST_F(EndEvents, FirstEventDuringACallWaitsUntilAnotherFindsItIdle) {
    inCall = true;
    Send({0x8E});
    ASSERT_TRUE(StillReading());
    EXPECT_FALSE(g_bRunning) << "the file loop ends after the call's current file";
    EXPECT_EQ(cancels, 0);
    inCall = false;
    Send({0x8E});
    ASSERT_TRUE(Ended());
    EXPECT_EQ(cancels, 1);
}

TEST_F(EndEvents, OtherBytesAndADeadPipeAreNoEvents) {
    Send({0x41, 0x8E});
    ASSERT_TRUE(StillReading());
    EXPECT_TRUE(g_bRunning);
    inCall = true;
    Send({0x8E});
    ASSERT_TRUE(StillReading());
    parent.Close();
    ASSERT_TRUE(StillReading()) << "a pipe whose parent has gone is no end event";
    EXPECT_EQ(log.Texts().size(), 2u) << "nor does a failed read bring the last event back";
    g_bCommActive = false; // the main thread has left its file loop
    ASSERT_TRUE(Ended());
    EXPECT_EQ(cancels, 0);
    g_bCommActive = true;
    g_pCommInterface = nullptr;
    EXPECT_EQ(EndEventThread(), 0u) << "without a front-end the thread returns at once";
}

// A stop from outside (a signal, a console event) acts like the pipe's event after one line
// that names it.
TEST_F(EndEvents, AStopFromOutsideActsLikeTheEventAfterALineNamingIt) {
    inCall = true;
    EXPECT_FALSE(ActOnEndEvent(0x8E, "Received signal SIGTERM.")) << "the call goes on";
    EXPECT_FALSE(g_bRunning);
    EXPECT_EQ(cancels, 0);
    EXPECT_TRUE(ActOnEndEvent(0x8F, "Received signal SIGHUP."));
    EXPECT_EQ(cancels, 1);
    const Strings texts = log.Texts("ServerMain");
    ASSERT_GE(texts.size(), 4u);
    EXPECT_EQ(Strings(texts.begin(), texts.begin() + 2),
              (Strings{"Received signal SIGTERM.", "1st end-event received."}));
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Received signal SIGHUP."), texts.end());
    EXPECT_FALSE(ActOnEndEvent(0x41, "Received signal SIGINT.")) << "no event, no line";
    EXPECT_EQ(log.Texts("ServerMain").size(), texts.size());
}

#ifndef _WIN32
// Signals are held back from every thread but the one that waits for them, so that they never
// interrupt another thread's system call, and each is recorded by name.
TEST(StopRequests, SignalsAreHeldBackAndRecordedByName) {
    ASSERT_TRUE(platform::StopRequestsInstall());
    sigset_t held;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &held), 0);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        EXPECT_TRUE(sigismember(&held, signal)) << signal;
    kill(getpid(), SIGTERM);
    std::string name;
    ASSERT_TRUE(platform::StopRequestWait(&name));
    EXPECT_EQ(name, "signal SIGTERM");
    platform::StopRequestsRelease();
    EXPECT_FALSE(platform::StopRequestWait(&name));
}
#endif

#ifndef _WIN32 // the control pipe as a Unix-domain socket
TEST(ControlPipe, NamesLeadToSocketPathsBytesCrossInOrderAndFailuresComeAtOnce) {
    TempDir dir;
    CCmnPipe absent, server, client;
    EXPECT_FALSE(absent.Open("", false));
    EXPECT_EQ(absent.LastError(), 0u) << "an empty name never reaches the system";
    EXPECT_FALSE(absent.Open(dir / "ctl", false));
    EXPECT_NE(absent.LastError(), 0u);
    unsigned char buffer[16];
    uint32_t got = 0, total = 0;
    EXPECT_FALSE(absent.Read(buffer, 4, &got));
    ASSERT_TRUE(server.Open(dir / "ctl", true) && client.Open(dir / "ctl", false));
    EXPECT_FALSE(client.Open(dir / "ctl", false)) << "an open object cannot open again";
    EXPECT_EQ(server.Name(), dir / "ctl");
    EXPECT_FALSE(CCmnPipe().Open(dir / std::string(120, 'x'), true)) << "too long for a socket";
    EXPECT_FALSE(client.Read(nullptr, 4, &got));
    const unsigned char events[] = {0x8E, 0x8F, 0x41};
    ASSERT_TRUE(server.Write(events, 3, &got) && got == 3);
    server.Close();
    EXPECT_FALSE(fs::exists(dir / "ctl")) << "the creator removes its name";
    while (total < 3 && client.Read(buffer + total, sizeof buffer - total, &got))
        total += got;
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + total),
              std::vector<unsigned char>(events, events + 3))
        << "what was written before the close still arrives";
    errno = EINTR; // left over from an earlier call: the end of the pipe is still the end
    EXPECT_FALSE(client.Read(buffer, sizeof buffer, &got));
    setenv("TMPDIR", dir.Path().c_str(), 1);
    CCmnPipe bare; // a bare name is a socket in the temporary directory
    bare.Open("unit", false);
    EXPECT_EQ(bare.Name(), dir / "ecgcomm-pipe-unit");
    unsetenv("TMPDIR");
}

TEST(ControlPipe, OnlyOurOwnUsersOrRootsSocketIsAccepted) {
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    TempDir dir;
    CCmnPipe roots, theirs, nameless, client;
    chmod(dir.Path().c_str(), 0777);
    ASSERT_TRUE(roots.Open(dir / "roots", true));
    chmod((dir / "roots").c_str(), 0777);
    // As nobody for a moment: nothing in between may return early.
    ASSERT_EQ(seteuid(65534), 0);
    const bool rootsAccepted = client.Open(dir / "roots", false);
    client.Close();
    const bool created = theirs.Open(dir / "theirs", true);
    const bool ownAccepted = client.Open(dir / "theirs", false);
    client.Close();
    const bool switched = seteuid(0) == 0 && seteuid(54321) == 0; // a uid without a name
    nameless.Open(dir / "nameless", true);
    ASSERT_EQ(seteuid(0), 0);
    ASSERT_TRUE(switched);
    EXPECT_TRUE(rootsAccepted) << "a socket of root's is accepted";
    ASSERT_TRUE(created);
    EXPECT_TRUE(ownAccepted) << "a socket of the process's own user is accepted";
    EXPECT_FALSE(client.Open(dir / "theirs", false)) << "another user's socket is refused";
    EXPECT_EQ(client.LastError(), static_cast<uint32_t>(EACCES));
    EXPECT_EQ(client.ForeignOwner(), "user nobody (uid 65534)");
    client.Close();
    EXPECT_EQ(client.ForeignOwner(), "") << "a closed pipe forgets whose the last one was";
    EXPECT_FALSE(client.Open(dir / "nameless", false));
    EXPECT_EQ(client.ForeignOwner(), "uid 54321");
    client.Close();
    ASSERT_TRUE(client.Open(dir / "roots", false)) << "and opens another";
}
#endif

} // namespace
