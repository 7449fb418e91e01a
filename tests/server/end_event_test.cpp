// The end-event thread against a real control pipe and a front-end double: which bytes stop the
// process, which call is cancelled, and what is logged.
#include "comm/csi_comm.h"
#include "logging/log.h"
#include "server/cmn_pipe.h"
#include "server/process_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class FrontEndDouble : public CCSIComm {
public:
    FrontEndDouble() : CCSIComm("") {}
    int32_t StartServerMode() override { return 0; }
    void CancelTask() override { ++cancels; }
    bool IsCommunicationInProgress() override { return inCall.load(); }
    std::atomic<int> cancels{0};
    std::atomic<bool> inCall{false};
};

class EndEvents : public ::testing::Test {
protected:
    void SetUp() override {
        path = (fs::temp_directory_path() / ("ee_" + std::to_string(getpid()))).string();
        ASSERT_TRUE(parent.Open(path, true));
        ASSERT_TRUE(child.Open(path, false));
        g_pCommInterface = &frontEnd;
        g_pPipe = &child;
        g_bRunning = true;
        g_bCommActive = true;
        SetLogObserver([this](const std::string& s, const std::string& t, int) {
            std::lock_guard<std::mutex> guard(lock);
            if (s == "ServerMain")
                texts.push_back(t);
        });
        thread = std::async(std::launch::async, [] { return EndEventThread(); });
    }
    void TearDown() override {
        g_bCommActive = false;
        parent.Close(); // unblocks a read still pending
        if (thread.valid())
            thread.wait();
        SetLogObserver(nullptr);
        g_pCommInterface = nullptr;
        g_pPipe = nullptr;
        g_bRunning = true;
        g_bCommActive = true;
    }
    void Send(std::initializer_list<unsigned char> bytes) {
        std::vector<unsigned char> v(bytes);
        ASSERT_TRUE(parent.Write(v.data(), static_cast<uint32_t>(v.size()), nullptr));
    }
    bool Ended() { return thread.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
    // True when the thread is still reading after a generous pause.
    bool StillRunning() {
        return thread.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> guard(lock);
        return texts;
    }

    std::string path;
    CCmnPipe parent, child;
    FrontEndDouble frontEnd;
    std::future<unsigned> thread;
    std::mutex lock;
    std::vector<std::string> texts;
};

TEST_F(EndEvents, FirstEventWhileIdleStopsAndCancelsTheWait) {
    Send({0x8E});
    ASSERT_TRUE(Ended());
    EXPECT_FALSE(g_bRunning);
    EXPECT_EQ(frontEnd.cancels, 1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "1st end-event received.",
                           "No communication in progress. Stopping communication-task."}));
}

TEST_F(EndEvents, FirstEventDuringACallWaitsAndASecondFirstEventCancelsOnceIdle) {
    frontEnd.inCall = true;
    Send({0x8E});
    ASSERT_TRUE(StillRunning());
    EXPECT_FALSE(g_bRunning);
    EXPECT_EQ(frontEnd.cancels, 0);
    frontEnd.inCall = false;
    Send({0x8E});
    ASSERT_TRUE(Ended());
    EXPECT_EQ(frontEnd.cancels, 1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           "1st end-event received.",
                           "1st end-event received. Communication is in progress. "
                           "Waiting for end of communication.",
                           "1st end-event received.",
                           "No communication in progress. Stopping communication-task."}));
}

TEST_F(EndEvents, SecondEventCancelsAtOnceEvenDuringACall) {
    frontEnd.inCall = true;
    Send({0x8F});
    ASSERT_TRUE(Ended());
    EXPECT_FALSE(g_bRunning);
    EXPECT_EQ(frontEnd.cancels, 1);
    EXPECT_EQ(Texts(),
              (std::vector<std::string>{"2nd end-event received. Cancelling communication."}));
}

TEST_F(EndEvents, OnlyTheFirstByteOfAReadCounts) {
    Send({0x8F, 0x8E});
    ASSERT_TRUE(Ended());
    EXPECT_EQ(Texts(),
              (std::vector<std::string>{"2nd end-event received. Cancelling communication."}));
}

TEST_F(EndEvents, OtherBytesAreIgnored) {
    Send({0x41, 0x8E});
    ASSERT_TRUE(StillRunning());
    EXPECT_TRUE(g_bRunning);
    EXPECT_TRUE(Texts().empty());
    Send({0x8F});
    ASSERT_TRUE(Ended());
}

TEST_F(EndEvents, ParentGoneKeepsReadingUntilTheMainThreadLeavesItsLoop) {
    parent.Close();
    ASSERT_TRUE(StillRunning()) << "a dead pipe is no end event";
    EXPECT_TRUE(g_bRunning);
    g_bCommActive = false;
    ASSERT_TRUE(Ended());
    EXPECT_EQ(frontEnd.cancels, 0);
}

TEST(EndEventStart, WithoutAFrontEndOrAfterTheFileLoopTheThreadReturnsAtOnce) {
    g_pCommInterface = nullptr;
    EXPECT_EQ(EndEventThread(), 0u);
    FrontEndDouble frontEnd;
    g_pCommInterface = &frontEnd;
    g_bCommActive = false;
    EXPECT_EQ(EndEventThread(), 0u) << "must not block on a pipe read";
    g_pCommInterface = nullptr;
    g_bCommActive = true;
}

} // namespace
