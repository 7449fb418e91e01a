// The communication task against a scripted engine: which commands go into the queue, what the
// file step logs and returns, and how a cancel from another thread ends a wait.
#include "comm/csi_comm.h"
#include "csi/csi_config.h"
#include "fake_engine.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// The base with the start of server mode left out, so the file step can be driven alone.
class TestComm : public CCSIComm {
public:
    explicit TestComm(FakeEngine* engine) : CCSIComm("/tmp/in") {
        m_nLinkType = 1;
        SetEngineForTests(engine->Body(), FakeEngine::VirtualSleep());
    }
    int32_t StartServerMode() override {
        StartTask();
        return 0;
    }
    bool Started() const { return m_bStarted; }
};

class CommFileStep : public ::testing::Test {
protected:
    void SetUp() override { csi_config_reset_for_tests(); }
    void TearDown() override { csi_config_reset_for_tests(); }

    // Command 3 ends with `waitStatus`, command 4 with `confirmStatus`.
    void Script(int32_t waitStatus, int32_t confirmStatus) {
        engine.answer = [=](const CsiCommandRecord& r) {
            return r.code == 3 ? waitStatus : confirmStatus;
        };
    }
    int32_t ConfirmFlag() {
        for (const auto& t : engine.Taken())
            if (t.code == 4)
                return t.flag;
        return -1;
    }

    FakeEngine engine;
    LogCapture log;
};

TEST_F(CommFileStep, StoredFileIsConfirmedAndAcknowledged) {
    Script(CSI_STATUS_DONE, CSI_STATUS_DONE);
    csi_set_file_stored(true);
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 0);
    EXPECT_EQ(ConfirmFlag(), 1);
    EXPECT_EQ(log.Texts("CCSIComm"), (std::vector<std::string>{"File successfully stored.",
                                                               "File successfully acknowledged."}));
    auto taken = engine.Taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_TRUE(taken[0].hasObjectListOut) << "command 3 must name where the object list goes";
}

TEST_F(CommFileStep, FileExpectingConfirmationIsHandledLikeAnyFile) {
    Script(CSI_STATUS_FILE_CONFIRM, CSI_STATUS_DONE);
    csi_set_file_stored(true);
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 0);
    EXPECT_EQ(ConfirmFlag(), 1);
}

TEST_F(CommFileStep, FileThatWasNotStoredIsRejected) {
    Script(CSI_STATUS_DONE, CSI_STATUS_DONE);
    csi_set_file_stored(false);
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 4);
    EXPECT_EQ(ConfirmFlag(), 0);
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text, "Error storing file.");
    EXPECT_EQ(entries[0].level, LOG_ERROR);
    EXPECT_EQ(entries[1].text, "File rejected.");
    EXPECT_EQ(entries[1].level, LOG_INFORMATION);
}

TEST_F(CommFileStep, ConfirmationThatDoesNotEndDoneGivesOneWithoutMessage) {
    Script(CSI_STATUS_DONE, CSI_STATUS_NOT_ALLOWED);
    csi_set_file_stored(true);
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 1);
    EXPECT_EQ(log.Texts("CCSIComm"), (std::vector<std::string>{"File successfully stored."}));
}

TEST_F(CommFileStep, UnexpectedStatusIsLoggedAndTheFileRejected) {
    Script(CSI_STATUS_FAILURE, CSI_STATUS_DONE);
    csi_set_file_stored(true); // a stale flag must not turn a failure into a confirmation
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 4);
    EXPECT_EQ(ConfirmFlag(), 0);
    EXPECT_EQ(log.Texts("CCSIComm"),
              (std::vector<std::string>{"Invalid file-status.", "File rejected."}));
}

TEST_F(CommFileStep, NoCallBeforeFirstIdleTimeoutIsAnAbort) {
    Script(CSI_STATUS_NO_CALL, CSI_STATUS_DONE);
    TestComm comm(&engine);
    comm.StartServerMode();
    EXPECT_EQ(comm.HandleFileStatus(), 3);
    EXPECT_EQ(ConfirmFlag(), -1) << "an abort must not confirm anything";
    EXPECT_EQ(log.Texts("CCSIComm"), (std::vector<std::string>{"Received abort."}));
}

TEST_F(CommFileStep, CancelWhileWaitingResetsTheEngineAndEndsWithAbort) {
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_RUNNING; };
    csi_set_call_active(true);
    TestComm comm(&engine);
    comm.StartServerMode();
    std::thread canceller([&] {
        engine.WaitForTaken(3);
        comm.CancelTask();
    });
    EXPECT_EQ(comm.HandleFileStatus(), 3);
    canceller.join();
    auto taken = engine.Taken();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].code, 3u);
    EXPECT_EQ(taken[1].code, 1u) << "the cancel must post the reset command";
    EXPECT_FALSE(comm.IsCommunicationInProgress());
    EXPECT_EQ(log.Texts("CCSIComm"), (std::vector<std::string>{"Received abort."}));
}

TEST_F(CommFileStep, CancelBetweenCommandsEndsTheNextUnansweredWait) {
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_RUNNING; };
    TestComm comm(&engine);
    comm.StartServerMode();
    comm.CancelTask(); // no command posted yet: the event stays set
    EXPECT_EQ(comm.HandleFileStatus(), 3);
}

TEST_F(CommFileStep, FileCompletingLaterEndsTheWait) {
    engine.answer = [](const CsiCommandRecord& r) {
        return r.code == 3 ? CSI_STATUS_RUNNING : CSI_STATUS_DONE;
    };
    csi_set_file_stored(true);
    TestComm comm(&engine);
    comm.StartServerMode();
    std::thread device([&] {
        engine.WaitForTaken(3);
        engine.Finish(CSI_STATUS_DONE);
    });
    EXPECT_EQ(comm.HandleFileStatus(), 0);
    device.join();
}

TEST(CommLifecycle, CancelOnAnObjectNotStartedOrStoppedDoesNothing) {
    FakeEngine engine;
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_RUNNING; };
    TestComm comm(&engine);
    comm.CancelTask();
    comm.StopTask();
    comm.StartServerMode();
    comm.StopTask();
    EXPECT_FALSE(comm.Started());
    EXPECT_TRUE(engine.Stopped());
    comm.CancelTask(); // must not touch the closed event
    EXPECT_EQ(comm.HandleFileStatus(), 1) << "no task, nothing to wait for";
}

TEST(CommLifecycle, DeletingAStartedFrontEndStopsTheEngineThread) {
    FakeEngine engine;
    {
        TestComm comm(&engine);
        comm.StartServerMode();
        for (int i = 0; i < 5000 && !engine.Running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(engine.Running());
    }
    EXPECT_TRUE(engine.Stopped());
}

TEST(CommLifecycle, CallActiveFlagIsWhatTheEngineReports) {
    csi_config_reset_for_tests();
    FakeEngine engine;
    TestComm comm(&engine);
    EXPECT_FALSE(comm.IsCommunicationInProgress());
    csi_set_call_active(true);
    EXPECT_TRUE(comm.IsCommunicationInProgress());
    csi_config_reset_for_tests();
}

} // namespace
