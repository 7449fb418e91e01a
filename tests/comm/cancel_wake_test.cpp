// With the engine's fast loop the poster waits for announced statuses and looks at the stop event
// only once a second on its own: a cancel through the front-end must end its wait at once.
#include "comm/csi_serial_comm.h"
#include "csi/csi_config.h"
#include "fake_engine.h"
#include "support/temp_dir.h"
#include "tools/app_paths.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(CancelWake, CancelEndsAFastPostersWaitForAFileAtOnce) {
    testsupport::TempDir dir;
    testsupport::UseTestProfile(dir, -1);
    testsupport::WriteFile(dir / "appdata/LOC_WIN.INI", "[VELMAR]\nCSI_FastLoop=1\n");
    csi_config_reset_for_tests();
    FakeEngine engine; // writes the status words but never announces them
    engine.answer = [](const CsiCommandRecord& r) {
        return r.code == 3 ? CSI_STATUS_RUNNING : CSI_STATUS_DONE;
    };
    CCSISerialComm comm(3, 96, "/data/in");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    ASSERT_EQ(comm.StartServerMode(), 0);
    std::thread canceller([&] {
        engine.WaitForTaken(3);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the poster is waiting
        const size_t taken = engine.Taken().size();
        const auto cancelledAt = std::chrono::steady_clock::now();
        comm.CancelTask();
        // The poster answers the cancel with a reset command as soon as it sees it.
        while (engine.Taken().size() == taken)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(engine.Taken().back().code, 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - cancelledAt, std::chrono::milliseconds(500))
            << "not the look once a second";
    });
    EXPECT_EQ(comm.HandleFileStatus(), 3) << "received abort";
    canceller.join();
    unsetenv("ECGCOMM_WIN_INI");
    ResetAppDataPathCache();
    csi_config_reset_for_tests();
}

} // namespace
