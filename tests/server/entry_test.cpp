// Start-up and shut-down order of the process entry, driven with test doubles.
#include "comm/csi_comm.h"
#include "logging/log.h"
#include "server/cmn_pipe.h"
#include "server/process_entry.h"
#include "server/process_state.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <mutex>
#include <vector>

using testsupport::TempDir;

namespace {

std::vector<std::string>* g_events = nullptr;
std::mutex g_eventsLock; // the end-event thread records too

void Record(const std::string& e) {
    std::lock_guard<std::mutex> guard(g_eventsLock);
    if (g_events)
        g_events->push_back(e);
}

class FakeFrontEnd : public CCSIComm {
public:
    FakeFrontEnd(int32_t startResult, int filesBeforeStop)
        : CCSIComm("dir"), m_startResult(startResult), m_filesBeforeStop(filesBeforeStop) {}
    int32_t StartServerMode() override {
        Record("StartServerMode");
        return m_startResult;
    }
    int32_t HandleFileStatus() override {
        Record("HandleFileStatus");
        // Stands in for an end event arriving during the n-th wait.
        if (--m_filesBeforeStop <= 0)
            g_bRunning = false;
        return 4;
    }
    void CancelTask() override { Record("CancelTask"); }
    ~FakeFrontEnd() override { Record("delete front-end"); }

private:
    int32_t m_startResult;
    int m_filesBeforeStop;
};

struct EntryRun {
    int exitCode = -1;
    std::vector<std::string> events; // seam calls and "log:<level>:<text>" in order
};

struct Options {
    bool frontEndCreated = true;
    int32_t startResult = 0;
    int files = 2;
    bool pipeCreated = true;
    bool pipeOpens = true;
    bool threadCreated = true;
    bool framework = true;
};

EntryRun RunEntry(const std::vector<std::string>& args, const Options& o) {
    EntryRun run;
    g_events = &run.events;
    SetLogObserver([](const std::string& source, const std::string& text, int level) {
        EXPECT_EQ(source, "ServerMain");
        Record("log:" + std::to_string(level) + ":" + text);
    });
    EntrySeams seams;
    seams.initFramework = [&o] { return o.framework; };
    seams.makeFrontEnd = [&o](const CommandLine&, bool useModem) -> CCSIComm* {
        Record(useModem ? "make modem" : "make serial");
        return o.frontEndCreated ? new FakeFrontEnd(o.startResult, o.files) : nullptr;
    };
    seams.makePipe = [&o]() -> CCmnPipe* {
        Record("make pipe");
        return o.pipeCreated ? new CCmnPipe() : nullptr;
    };
    seams.openPipe = [&o](CCmnPipe&, const std::string& name) {
        Record("open pipe " + name);
        return o.pipeOpens;
    };
    seams.endEventProcedure = [] {
        Record("end-event thread runs");
        return 0u;
    };
    seams.makeThread = [&o](std::function<unsigned()> proc) -> CSuspendedThread* {
        Record("make thread");
        return o.threadCreated ? CSuspendedThread::Create(proc) : nullptr;
    };
    std::vector<const char*> argv{"ecgcomm"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    run.exitCode = RunProcessEntry(static_cast<int>(argv.size()), argv.data(), seams);
    SetLogObserver(nullptr);
    {
        std::lock_guard<std::mutex> guard(g_eventsLock);
        g_events = nullptr;
    }
    EXPECT_EQ(g_pCommInterface, nullptr);
    EXPECT_EQ(g_pPipe, nullptr);
    EXPECT_EQ(g_pIpcThread, nullptr);
    return run;
}

class ProcessEntry : public ::testing::Test {
protected:
    void SetUp() override { testsupport::UseTestProfile(m_dir, -1); }
    std::vector<std::string> Args(const std::string& pipe) {
        return {"-comport",   "1",           "-baudrate", "576",
                "-directory", m_dir / "out", "-pipename", pipe};
    }
    TempDir m_dir;
};

const std::string kStart = "log:2:Starting communication process. Version V7.0.";
const std::string kExit = "log:2:Exiting communication-process.";

TEST_F(ProcessEntry, FullRunWithPipeFollowsTheStartAndShutDownOrder) {
    const EntryRun run = RunEntry(Args("ctl"), Options());
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<std::string> expected = {
        kStart,
        "make serial",
        "StartServerMode",
        "make pipe",
        "open pipe ctl",
        "make thread",
        "log:2:Starting CSI task.",
        // the thread runs only after it was resumed, somewhere among the file waits
        "HandleFileStatus",
        "HandleFileStatus",
        "log:2:CSI task stopped.",
        "log:2:Waiting for interprocess-communication thread to end.",
        "log:2:Interprocess-communication thread exited.",
        "delete front-end",
        kExit,
    };
    std::vector<std::string> withoutThread;
    int threadRuns = 0;
    size_t threadAt = 0;
    for (size_t i = 0; i < run.events.size(); ++i) {
        if (run.events[i] == "end-event thread runs") {
            ++threadRuns;
            threadAt = withoutThread.size();
        } else {
            withoutThread.push_back(run.events[i]);
        }
    }
    EXPECT_EQ(withoutThread, expected);
    EXPECT_EQ(threadRuns, 1);
    EXPECT_GE(threadAt, 7u) << "resumed only after \"Starting CSI task.\"";
    EXPECT_LE(threadAt, 11u) << "ended before the wait for it returned";
}

TEST_F(ProcessEntry, NoPipeMeansNoPipeObjectAndNoThread) {
    const EntryRun run = RunEntry(Args("nopipe"), Options());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.events, (std::vector<std::string>{kStart, "make serial", "StartServerMode",
                                                    "log:2:Starting CSI task.", "HandleFileStatus",
                                                    "HandleFileStatus", "log:2:CSI task stopped.",
                                                    "delete front-end", kExit}));
}

TEST_F(ProcessEntry, AllThreeModemStringsSelectTheModemFrontEnd) {
    auto args = Args("nopipe");
    for (const char* s : {"-initstring", "ATZ", "-hangup-prefix", "+++", "-hangup-suffix", "ATH"})
        args.push_back(s);
    const EntryRun run = RunEntry(args, Options());
    EXPECT_EQ(run.events.at(1), "make modem");
}

TEST_F(ProcessEntry, InvalidParametersExitWithOneAndCreateNothing) {
    auto args = Args("ctl");
    args.push_back("-initstring");
    args.push_back("ATZ");
    const EntryRun run = RunEntry(args, Options());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(
        run.events,
        (std::vector<std::string>{
            kStart, "log:0:Unable to start CSI task. Parameters are invalid / missing.", kExit}));
}

TEST_F(ProcessEntry, FailuresAfterValidationExitWithZeroAndUndoWhatExists) {
    struct Case {
        Options options;
        std::vector<std::string> tail;
    };
    Options noFrontEnd, noStart, noPipe, noOpen, noThread;
    noFrontEnd.frontEndCreated = false;
    noStart.startResult = 1;
    noPipe.pipeCreated = false;
    noOpen.pipeOpens = false;
    noThread.threadCreated = false;
    const std::vector<Case> cases = {
        {noFrontEnd, {"make serial", "log:0:Error creating communication-interface.", kExit}},
        {noStart, {"make serial", "StartServerMode", "delete front-end", kExit}},
        {noPipe,
         {"make serial", "StartServerMode", "make pipe", "log:0:Error creating pipe.",
          "delete front-end", kExit}},
        {noOpen,
         {"make serial", "StartServerMode", "make pipe", "open pipe ctl",
          "log:0:Error opening pipe.", "delete front-end", kExit}},
        {noThread,
         {"make serial", "StartServerMode", "make pipe", "open pipe ctl", "make thread",
          "log:0:Error creating interprocess-communication thread.", "delete front-end", kExit}},
    };
    for (const Case& c : cases) {
        const EntryRun run = RunEntry(Args("ctl"), c.options);
        std::vector<std::string> expected{kStart};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.events, expected);
    }
}

TEST_F(ProcessEntry, FrameworkFailureExitsWithOneBeforeAnythingIsLogged) {
    Options o;
    o.framework = false;
    testing::internal::CaptureStderr();
    const EntryRun run = RunEntry(Args("ctl"), o);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Fatal Error: MFC initialization failed\n");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.events.empty());
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out")) << "not even parsed";
}

TEST_F(ProcessEntry, MessagesReachTheLogFileInTheDestinationDirectory) {
    RunEntry(Args("nopipe"), Options());
    const std::string log = testsupport::ReadFile(m_dir / "out/logfile_1.log");
    for (const char* text : {"Starting communication process. Version V7.0.", "Starting CSI task.",
                             "CSI task stopped.", "Exiting communication-process."})
        EXPECT_NE(log.find(std::string("     Text: ") + text + "\r\n"), std::string::npos) << text;
}

} // namespace
