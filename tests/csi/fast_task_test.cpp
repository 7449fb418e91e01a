// The pacing chosen in the local profile, and the real thread body in fast mode: commands are
// answered as they come instead of once per 250 ms round.
#include "csi/csi_config.h"
#include "csi/csi_task.h"
#include "support/temp_dir.h"
#include "tools/app_paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using testsupport::TempDir;

class FastLoopProfile : public ::testing::Test {
protected:
    // A local profile holding the given VELMAR lines (none at all when null).
    void Profile(const char* lines) {
        const std::string appData = dir_ / "appdata";
        std::filesystem::create_directories(appData);
        testsupport::WriteFile(dir_ / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + appData + "\n");
        if (lines != nullptr)
            testsupport::WriteFile(appData + "/LOC_WIN.INI", std::string("[VELMAR]\n") + lines);
        setenv("ECGCOMM_WIN_INI", (dir_ / "win.ini").c_str(), 1);
        ResetAppDataPathCache();
    }
    void TearDown() override {
        unsetenv("ECGCOMM_WIN_INI");
        ResetAppDataPathCache();
    }
    TempDir dir_;
};

TEST_F(FastLoopProfile, KeyChoosesThePacingAndClassicIsTheDefault) {
    Profile(nullptr);
    EXPECT_FALSE(CsiFastLoopConfigured()) << "no local profile";
    Profile("LOG_MessageFormat=1\n");
    EXPECT_FALSE(CsiFastLoopConfigured()) << "no key";
    Profile("CSI_FastLoop=0\n");
    EXPECT_FALSE(CsiFastLoopConfigured());
    Profile("CSI_FastLoop=1\n");
    EXPECT_TRUE(CsiFastLoopConfigured());
    Profile("csi_fastloop = 2\n");
    EXPECT_TRUE(CsiFastLoopConfigured()) << "keys are case-insensitive, blanks trimmed";
    Profile("CSI_FastLoop=\n");
    EXPECT_FALSE(CsiFastLoopConfigured()) << "an empty value is the default";
}

int32_t PostAndWait(CCSIQueue& queue, uint32_t code) {
    std::atomic<int32_t> word{1};
    CsiCommandRecord r;
    r.code = code;
    r.interfaceName = "INT";
    r.statusWord = &word;
    const uint64_t seen = queue.StatusCount();
    queue.Append(r);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (word.load() == 1 && std::chrono::steady_clock::now() < deadline)
        queue.WaitForStatus(seen, 250);
    return word.load();
}

TEST_F(FastLoopProfile, FastTaskAnswersCommandsWithoutWaitingForTheRound) {
    Profile("CSI_FastLoop=1\n");
    csi_config_reset_for_tests(); // no COM port: commands fail or are refused, but are answered
    CCSIQueue queue;
    uint16_t station = 0;
    uint8_t cell = 0;
    CsiSharedBlock shared{&station, &cell, &queue};
    CsiTaskContext context;
    context.shared = &shared;
    std::thread task([&context] { TaskMain(&context); });

    // The classic round needs at least 40 × 250 ms = 10 s for these; half of that is a bound
    // that only a fast loop can meet, however loaded the machine.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(PostAndWait(queue, 3), CSI_STATUS_NOT_ALLOWED);
        ASSERT_EQ(PostAndWait(queue, 1), CSI_STATUS_DONE);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(5));

    const auto stopAsked = std::chrono::steady_clock::now();
    context.stop.store(1);
    task.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(5))
        << "the stop byte is seen at the end of the tick";
}

} // namespace
