// The communication task, the front-ends and the poster.
#include "comm/csi_comm.h"
#include "comm/csi_interface.h"
#include "comm/csi_modem_comm.h"
#include "comm/csi_serial_comm.h"
#include "comm/stop_event.h"
#include "csi/csi_config.h"
#include "csi/csi_queue.h"
#include "csi/csi_task.h"
#include "platform/clock.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace testsupport;

struct Taken { // a command as the engine took it
    uint32_t code;
    int32_t flag;
    std::string name;
    bool listOut;
};

// The engine on the real task thread, as far as commands go: the test decides each outcome
// (CSI_STATUS_RUNNING keeps a command running until Finish). Announces every final status, as
// the engine does; a command kept running is ended for its poster only by a cancel.
class FakeEngine {
public:
    std::function<int32_t(uint32_t code)> answer = [](uint32_t) { return CSI_STATUS_DONE; };
    CsiEngineBody Body() {
        return [this](CsiTaskContext* c) {
            std::atomic<int32_t>* current = nullptr;
            while (c->stop.load() == 0) {
                CsiCommandRecord r;
                if (c->shared->queue->TakeHead(&r) && r.statusWord != nullptr) {
                    std::lock_guard<std::mutex> g(m_lock);
                    m_taken.push_back({r.code, r.flag, r.interfaceName ? r.interfaceName : "",
                                       r.objectListOut != nullptr});
                    if (r.code == 1 || current == nullptr) {
                        r.statusWord->store(CSI_STATUS_RUNNING);
                        const int32_t s = r.code == 1 ? CSI_STATUS_DONE : answer(r.code);
                        current = s == CSI_STATUS_RUNNING ? r.statusWord : nullptr;
                        if (current == nullptr)
                            r.statusWord->store(s), c->shared->queue->AnnounceStatus();
                    }
                }
                if (const int32_t s = m_finish.exchange(0); s != 0 && current != nullptr) {
                    current->store(s);
                    c->shared->queue->AnnounceStatus();
                    current = nullptr;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            m_stopped = true;
        };
    }
    // The poster in virtual time: each 250 ms look costs 1 ms.
    static CsiSleep Sleep() {
        return [](uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    }
    void Finish(int32_t status) { m_finish = status; }
    std::vector<Taken> Commands() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_taken;
    }
    bool WaitForCode(uint32_t code) {
        for (int i = 0; i < 5000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            for (const Taken& t : Commands())
                if (t.code == code)
                    return true;
        return false;
    }
    std::atomic<bool> m_stopped{false};

private:
    std::mutex m_lock;
    std::vector<Taken> m_taken;
    std::atomic<int32_t> m_finish{0};
};

// The base front-end with server mode reduced to starting the task.
class TestComm : public CCSIComm {
public:
    explicit TestComm(FakeEngine* engine) : CCSIComm("/tmp/in") {
        m_nLinkType = 1;
        SetEngineForTests(engine->Body(), FakeEngine::Sleep());
    }
    int32_t StartServerMode() override {
        StartTask();
        return 0;
    }
};

class Comm : public ::testing::Test {
protected:
    void SetUp() override { csi_config_reset_for_tests(); }
    void TearDown() override { csi_config_reset_for_tests(); }
    FakeEngine engine;
    LogCapture log;
};

TEST_F(Comm, FileStepConfirmsWhatWasStoredAndLogsTheOutcome) {
    const struct {
        int32_t wait, confirm;
        bool stored;
        int32_t result, flag;
        std::vector<std::string> lines;
    } rows[] = {
        // clang-format off
        {CSI_STATUS_DONE, CSI_STATUS_DONE, true, 0, 1, {"2|File successfully stored.", "2|File successfully acknowledged."}},
        {CSI_STATUS_FILE_CONFIRM, CSI_STATUS_DONE, true, 0, 1, {"2|File successfully stored.", "2|File successfully acknowledged."}},
        {CSI_STATUS_DONE, CSI_STATUS_DONE, false, 4, 0, {"0|Error storing file.", "2|File rejected."}},
        {CSI_STATUS_DONE, CSI_STATUS_NOT_ALLOWED, true, 1, 1, {"2|File successfully stored."}},
        {CSI_STATUS_DONE, CSI_STATUS_NOT_ALLOWED, false, 1, 0, {"0|Error storing file."}},
        // A stale stored flag must not turn a failure into a confirmation.
        {CSI_STATUS_FAILURE, CSI_STATUS_DONE, true, 4, 0, {"0|Invalid file-status.", "2|File rejected."}},
        {CSI_STATUS_FAILURE, CSI_STATUS_NOT_ALLOWED, true, 1, 0, {"0|Invalid file-status."}},
        {CSI_STATUS_NO_CALL, CSI_STATUS_DONE, true, 3, -1, {"2|Received abort."}},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        FakeEngine e;
        e.answer = [&r](uint32_t code) { return code == 3 ? r.wait : r.confirm; };
        csi_set_file_stored(r.stored);
        TestComm comm(&e);
        comm.StartServerMode();
        log.Clear();
        EXPECT_EQ(comm.HandleFileStatus(), r.result);
        const auto taken = e.Commands();
        ASSERT_FALSE(taken.empty());
        EXPECT_TRUE(taken[0].code == 3 && taken[0].listOut) << "the object list's place is named";
        EXPECT_EQ(taken.size() > 1 ? taken[1].flag : -1, r.flag);
        std::vector<std::string> lines;
        for (const std::string& l : r.lines)
            lines.push_back("CCSIComm|" + l);
        EXPECT_EQ(log.Lines(), lines);
    }
}

// In both pacings: the fast one waits for the engine's announcements, the classic one looks.
TEST_F(Comm, CancelEndsAWaitOrTheNextOneWithAbortAfterAReset) {
    for (const auto& [profile, fast] :
         {std::pair<const char*, bool>{"CSI_FastLoop=0\n", false}, {"csi_fastloop = 2\n", true}}) {
        SCOPED_TRACE(profile);
        TempDir dir;
        UseProfile(dir, profile);
        ASSERT_EQ(CsiFastLoopConfigured(), fast);
        FakeEngine engine;
        engine.answer = [](uint32_t) { return CSI_STATUS_RUNNING; };
        csi_set_call_active(true);
        TestComm comm(&engine);
        comm.StartServerMode();
        int64_t resetAfterMs = -1; // a fast poster looks on its own only every 10 s
        std::thread canceller([&] {
            engine.WaitForCode(3);
            const auto cancelled = std::chrono::steady_clock::now();
            comm.CancelTask();
            engine.WaitForCode(1);
            resetAfterMs = MsSince(cancelled);
        });
        EXPECT_EQ(comm.HandleFileStatus(), 3);
        canceller.join();
        EXPECT_LT(resetAfterMs, 600) << "the cancel wakes the poster";
        const auto taken = engine.Commands();
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_EQ(taken[1].code, 1u) << "the engine drops the abandoned command first";
        EXPECT_FALSE(comm.IsCommunicationInProgress());
        EXPECT_EQ(log.Texts("CCSIComm"), std::vector<std::string>{"Received abort."});
        comm.CancelTask(); // between two commands: the event stays set for the next wait
        const auto next = std::chrono::steady_clock::now();
        EXPECT_EQ(comm.HandleFileStatus(), 3);
        EXPECT_LT(MsSince(next), 2000) << "seen after a round, not after the poster's long look";
        engine.answer = [](uint32_t c) { return c == 3 ? CSI_STATUS_RUNNING : CSI_STATUS_DONE; };
        csi_set_file_stored(true);
        std::thread device([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            engine.Finish(CSI_STATUS_DONE);
        });
        EXPECT_EQ(comm.HandleFileStatus(), 0) << "a file completing later ends the wait";
        device.join();
        comm.StopTask();
        log.Clear();
        unsetenv("ECGCOMM_WIN_INI");
        ResetAppDataPathCache();
    }
}

// The fast poster sleeps until the engine announces a status, and not a moment longer.
TEST(StatusWait, LastsItsTimeUnlessAStatusIsAnnounced) {
    CCSIQueue queue;
    const uint64_t seen = queue.StatusCount();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.WaitForStatus(seen, 60), seen);
    EXPECT_GE(MsSince(start), 50) << "nothing announced: the whole time";
    std::thread engine([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.AnnounceStatus();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.WaitForStatus(seen, 10000), seen + 1);
    EXPECT_LT(MsSince(start), 5000);
    engine.join();
}

// The classic poster sleeps until something happens, yet looks exactly when it always did:
// 250 ms after posting, then every 250 ms.
TEST(ClassicPoster, LooksAtItsRoundsFromThePostingOn) {
    TempDir dir;
    UseProfile(dir, "CSI_FastLoop=0\n");
    CStopEvent stop;
    FakeEngine engine;
    engine.answer = [](uint32_t code) { return code == 3 ? CSI_STATUS_RUNNING : CSI_STATUS_DONE; };
    CCSIInterface task(&stop, engine.Body(), platform::SleepMs);
    ASSERT_TRUE(task.StartThread(0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(task.StartServer(false), CSI_STATUS_DONE);
    int64_t ms = MsSince(start);
    EXPECT_TRUE(ms >= 245 && ms < 450) << ms << " ms: answered at once, seen at the first look";
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(420));
        engine.Finish(CSI_STATUS_DONE);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(task.WaitForFile(), CSI_STATUS_DONE);
    ms = MsSince(start);
    EXPECT_TRUE(ms >= 495 && ms < 640) << ms << " ms: finished after 420 ms, seen at the second";
    device.join();
    task.StopThread();
    unsetenv("ECGCOMM_WIN_INI");
    ResetAppDataPathCache();
}

// The real engine, fast and quiet, waits through many ticks at a time; stopping its task must
// still end it at once, not when the wait runs out.
TEST(QuietEngine, StopsAtOnce) {
    TempDir dir;
    UseProfile(dir, "CSI_FastLoop=1\n");
    CStopEvent stop;
    CCSIInterface task(&stop);
    ASSERT_TRUE(task.StartThread(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // past the first tick
    const auto start = std::chrono::steady_clock::now();
    task.StopThread();
    EXPECT_LT(MsSince(start), 2000);
    unsetenv("ECGCOMM_WIN_INI");
    ResetAppDataPathCache();
}

TEST_F(Comm, FrontEndsHandOverTheirConfigurationAndSayWhyAStartFailed) {
    CCSISerialComm serial(3, 96, "/data/in");
    serial.SetEngineForTests(engine.Body(), FakeEngine::Sleep());
    ASSERT_EQ(serial.StartServerMode(), 0);
    EXPECT_EQ(std::make_tuple(csi_get_com_port(), csi_get_baud_rate(), csi_get_modem_mode(),
                              csi_get_link_kind(), std::string(csi_get_destination())),
              std::make_tuple(3u, 96u, false, 1u, std::string("/data/in")));
    const auto taken = engine.Commands();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_TRUE(taken[0].code == 2 && taken[0].name == "INT" && taken[0].listOut);
    EXPECT_EQ(taken[0].flag, 1) << "started with the flag false, so word 5 is 1";
    EXPECT_EQ(TestComm(&engine).HandleFileStatus(), 1) << "no task, nothing to wait for";
    FakeEngine refusing;
    refusing.answer = [](uint32_t) { return CSI_STATUS_NOT_ALLOWED; };
    CCSIModemComm modem(2, 576, "/data/in2", "ATZ S0=1", "+++", "ATH0");
    modem.SetEngineForTests(refusing.Body(), FakeEngine::Sleep());
    EXPECT_EQ(modem.StartServerMode(), 1);
    EXPECT_EQ(std::make_tuple(csi_get_com_port(), csi_get_baud_rate(), csi_get_modem_mode(),
                              csi_get_link_kind(), std::string(csi_get_destination())),
              std::make_tuple(2u, 576u, true, 2u, std::string("/data/in2")));
    EXPECT_EQ(std::string(csi_get_modem_string(1)) + "|" + csi_get_modem_string(2) + "|" +
                  csi_get_modem_string(3) + "|" + csi_get_modem_string(4),
              "ATZ S0=1|+++|ATH0|")
        << "three strings, in order";
    EXPECT_TRUE(refusing.m_stopped) << "a failed start stops the task";
    FakeEngine slow;
    slow.answer = [](uint32_t) { return CSI_STATUS_RUNNING; };
    CCSISerialComm cancelled(1, 96, "/data/in");
    cancelled.SetEngineForTests(slow.Body(), FakeEngine::Sleep());
    std::thread canceller([&] { slow.WaitForCode(2), cancelled.CancelTask(); });
    EXPECT_EQ(cancelled.StartServerMode(), 3);
    canceller.join();
    EXPECT_TRUE(slow.m_stopped);
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"CCSIModemComm|2|CSI Server Mode failed with status 3"})
        << "under the front-end's name; a cancelled start says nothing";
}

} // namespace
