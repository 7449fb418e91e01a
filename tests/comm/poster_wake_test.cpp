// The poster with the engine's fast loop: it wakes when the engine writes a status instead of
// sleeping out 250 ms per look, and a stop event still ends its wait. Bounds are generous: only
// "far below the classic minimum" is asserted, never a tight figure.
#include "comm/csi_interface.h"
#include "comm/stop_event.h"
#include "csi/csi_config.h"
#include "fake_engine.h"
#include "support/temp_dir.h"
#include "tools/app_paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

class PosterWake : public ::testing::Test {
protected:
    // A profile whose local file sets the engine's pacing key to the given value.
    void Pacing(int fastLoop) {
        const std::string appData = dir_ / "appdata";
        std::filesystem::create_directories(appData);
        testsupport::WriteFile(dir_ / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + appData + "\n");
        testsupport::WriteFile(appData + "/LOC_WIN.INI",
                               "[VELMAR]\nCSI_FastLoop=" + std::to_string(fastLoop) + "\n");
        setenv("ECGCOMM_WIN_INI", (dir_ / "win.ini").c_str(), 1);
        ResetAppDataPathCache();
    }
    void SetUp() override { csi_config_reset_for_tests(); }
    void TearDown() override {
        unsetenv("ECGCOMM_WIN_INI");
        ResetAppDataPathCache();
        csi_config_reset_for_tests();
    }
    testsupport::TempDir dir_;
    CStopEvent stop_;
};

TEST_F(PosterWake, FastLoopAnswersReachThePosterWithoutTheQuarterSecondPolls) {
    Pacing(1);
    CCSIInterface poster(&stop_);
    poster.StartThread(1);
    ASSERT_TRUE(poster.WakesOnStatus());
    // Twenty commands need at least 20 x 250 ms = 5 s with the classic poster.
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(poster.Reset(), CSI_STATUS_DONE);
        ASSERT_EQ(poster.WaitForFile(), CSI_STATUS_NOT_ALLOWED) << "no server mode started";
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));
    poster.StopThread();
}

TEST_F(PosterWake, ClassicPacingKeepsTheQuarterSecondPoll) {
    Pacing(0);
    CCSIInterface poster(&stop_);
    poster.StartThread(1);
    EXPECT_FALSE(poster.WakesOnStatus());
    const auto start = Clock::now();
    EXPECT_EQ(poster.Reset(), CSI_STATUS_DONE);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250)) << "first look after 250 ms";
    poster.StopThread();
}

TEST_F(PosterWake, StopEventStillEndsAWaitThatNoStatusWakes) {
    Pacing(1);
    FakeEngine engine; // writes statuses but never announces them
    engine.answer = [](const CsiCommandRecord& r) {
        return r.code == 3 ? CSI_STATUS_RUNNING : CSI_STATUS_DONE;
    };
    CCSIInterface poster(&stop_, engine.Body());
    poster.StartThread(1);
    ASSERT_TRUE(poster.WakesOnStatus());
    std::thread canceller([&] {
        engine.WaitForTaken(3);
        stop_.Set();
    });
    const auto start = Clock::now();
    EXPECT_EQ(poster.WaitForFile(), CSI_STATUS_CANCELLED);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    canceller.join();
    EXPECT_TRUE(engine.WaitForTaken(1)) << "the cancel reset the engine first";
    EXPECT_FALSE(stop_.IsSet());
    poster.StopThread();
}

} // namespace
