// The serial and modem front-ends: the engine configuration they hand over, the start command
// they post, and what a failed or cancelled start leaves behind.
#include "comm/csi_modem_comm.h"
#include "comm/csi_serial_comm.h"
#include "csi/csi_config.h"
#include "fake_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override { csi_config_reset_for_tests(); }
    void TearDown() override { csi_config_reset_for_tests(); }
    FakeEngine engine;
    LogCapture log;
};

TEST_F(FrontEnd, SerialStartConfiguresTheDirectLineAndPostsStartCommand) {
    CCSISerialComm comm(3, 96, "/data/in");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    ASSERT_EQ(comm.StartServerMode(), 0);
    EXPECT_EQ(csi_get_com_port(), 3u);
    EXPECT_EQ(csi_get_baud_rate(), 96u);
    ASSERT_NE(csi_get_destination(), nullptr);
    EXPECT_STREQ(csi_get_destination(), "/data/in");
    EXPECT_FALSE(csi_get_modem_mode());
    EXPECT_STREQ(csi_get_modem_string(1), "");
    EXPECT_EQ(csi_get_link_kind(), 1u);
    auto taken = engine.Taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].code, 2u);
    EXPECT_EQ(taken[0].interfaceName, "INT");
    EXPECT_EQ(taken[0].flag, 1) << "started with the flag false, so word 5 is 1";
    EXPECT_TRUE(taken[0].hasObjectListOut);
    EXPECT_TRUE(log.Entries().empty());
}

TEST_F(FrontEnd, ModemStartHandsOverItsStringsInOrder) {
    CCSIModemComm comm(2, 576, "/data/in", "ATZ S0=1", "+++", "ATH0");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    ASSERT_EQ(comm.StartServerMode(), 0);
    EXPECT_TRUE(csi_get_modem_mode());
    EXPECT_STREQ(csi_get_modem_string(1), "ATZ S0=1");
    EXPECT_STREQ(csi_get_modem_string(2), "+++");
    EXPECT_STREQ(csi_get_modem_string(3), "ATH0");
    EXPECT_EQ(csi_get_com_port(), 2u);
    EXPECT_EQ(csi_get_baud_rate(), 576u);
    EXPECT_EQ(csi_get_link_kind(), 2u);
}

TEST_F(FrontEnd, SerialStartFailureStopsTheTaskAndLogsTheStatus) {
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_FAILURE; };
    CCSISerialComm comm(99, 96, "/data/in");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    EXPECT_EQ(comm.StartServerMode(), 1);
    EXPECT_TRUE(engine.Stopped());
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "CCSISerialComm");
    EXPECT_EQ(entries[0].text, "CSI Server Mode failed with status 2");
    EXPECT_EQ(entries[0].level, LOG_INFORMATION);
}

TEST_F(FrontEnd, ModemStartFailureIsLoggedUnderTheModemSource) {
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_NOT_ALLOWED; };
    CCSIModemComm comm(2, 576, "/data/in", "ATZ", "+++", "ATH0");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    EXPECT_EQ(comm.StartServerMode(), 1);
    auto entries = log.Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].source, "CCSIModemComm");
    EXPECT_EQ(entries[0].text, "CSI Server Mode failed with status 3");
}

TEST_F(FrontEnd, CancelDuringStartStopsTheTaskWithoutMessage) {
    engine.answer = [](const CsiCommandRecord&) { return CSI_STATUS_RUNNING; };
    CCSISerialComm comm(1, 96, "/data/in");
    comm.SetEngineForTests(engine.Body(), FakeEngine::VirtualSleep());
    std::thread canceller([&] {
        engine.WaitForTaken(2);
        comm.CancelTask();
    });
    EXPECT_EQ(comm.StartServerMode(), 3);
    canceller.join();
    EXPECT_TRUE(engine.Stopped());
    EXPECT_TRUE(log.Entries().empty());
}

} // namespace
