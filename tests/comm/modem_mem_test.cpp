// The modem interface over the in-memory serial port.
#include "comm/modem_interface.h"
#include "csi/csi_config.h"
#include "fuzz/memory_line.h"
#include "link/slip.h"
#include "platform/wakeup.h"
#include "support/support.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;

const std::string kSource = "CModemInterface|0|"; // errors only

class Modem : public ::testing::Test {
protected:
    void SetUp() override {
        memory_line::Clear();
        memory_line::RefuseOpen(false);
        memory_line::ConfigureAnswers(platform::SerialSetup::Ok);
        CModemInterface::SetPauseFunction([this](uint32_t ms) { pauses.push_back(ms); });
        modem.SetInitString("ATE0V0S0=1");
        modem.SetHangupPrefix("+++");
        modem.SetHangupSuffix("ATH0");
    }
    void TearDown() override {
        modem.Close();
        slip_reset_for_tests();
        csi_config_reset_for_tests();
        CModemInterface::SetPauseFunction(nullptr);
        EXPECT_EQ(memory_line::OpenPorts(), 0);
    }
    // The modem's answers, one per read: the echo of the string, then the result code.
    void Answers(std::initializer_list<std::string> answers) {
        for (const std::string& a : answers)
            memory_line::Queue(reinterpret_cast<const uint8_t*>(a.data()), a.size());
    }
    std::string Written() {
        const std::vector<uint8_t>& w = memory_line::Written();
        return std::string(w.begin(), w.end());
    }
    CModemInterface modem;
    std::vector<uint32_t> pauses;
    LogCapture log;
};

TEST_F(Modem, InitialisationWritesTheStringAndAfterItsEchoACarriageReturn) {
    Answers({"ATE0V0S0=1", "\r0\r"});
    ASSERT_TRUE(modem.Initialize(5, 96));
    EXPECT_EQ(modem.GetState(), CModemInterface::STATE_READY);
    EXPECT_EQ(Written(), "ATE0V0S0=1\r");
    EXPECT_EQ(pauses, std::vector<uint32_t>{1500}) << "the settling pause comes first";
    EXPECT_TRUE(log.Lines().empty());
    int n = 0;
    uint8_t buf[16];
    // Hang-up: prefix between guard pauses, the suffix, and the carriage return after its echo.
    memory_line::Clear();
    EXPECT_TRUE(modem.HangUp());
    EXPECT_EQ(Written(), "+++ATH0\r");
    EXPECT_EQ(pauses, (std::vector<uint32_t>{1500, 1500, 1500}));
    EXPECT_EQ(modem.GetState(), CModemInterface::STATE_HUNG_UP);
    EXPECT_FALSE(modem.Read(buf, 8, &n) || modem.Write(buf, 1, &n)) << "not ready any more";
    EXPECT_TRUE(modem.Close());
    EXPECT_EQ(modem.GetState(), CModemInterface::STATE_CLOSED);
    EXPECT_EQ(memory_line::OpenPorts(), 0);
    for (const auto& [code, rate] :
         {std::pair<uint32_t, uint32_t>{576, 57600}, {1152, 115200}, {24, 0}}) {
        Answers({"ATE0V0S0=1", "0\r"});
        ASSERT_TRUE(modem.Initialize(5, code));
        EXPECT_EQ(memory_line::LastRate(), rate) << "0: an unknown code keeps the port's rate";
    }
}

TEST_F(Modem, EveryRefusalIsLoggedAndLeavesThePortClosed) {
    using Setup = platform::SerialSetup;
    const std::string kInvalid = "Invalid com-port or baudrate. Unable to initialize modem.";
    const struct {
        const char* init;
        uint32_t com;
        bool refuse;
        Setup setup;
        std::vector<std::string> answers;
        std::string message, written;
    } rows[] = {
        // clang-format off
        {"ATV0", 5, false, Setup::Ok, {"ATV0", "4\r"}, "Error initializing modem. Return-code : 4", "ATV0\r"},
        {"ATV0", 5, false, Setup::Ok, {}, "Error opening com-port : MEM5.", "ATV0\r"}, // a silent modem
        {"", 5, false, Setup::Ok, {}, "Modem initialization-string is empty. Unable to initialize modem.", ""},
        {"ATV0", 0, false, Setup::Ok, {}, kInvalid, ""},
        {"ATV0", 257, false, Setup::Ok, {}, kInvalid, ""},
        {"ATV0", 5, false, Setup::ReadSettingsFailed, {"ATV0", "0\r"}, "Error reading modem-properties.", ""},
        {"ATV0", 5, false, Setup::ApplySettingsFailed, {"ATV0", "0\r"}, "Error setting modem-properties.", ""},
        {"ATV0", 5, false, Setup::TimeoutsFailed, {"ATV0", "0\r"}, "", ""},
        {"ATV0", 8, true, Setup::Ok, {}, "Error opening com-port : MEM8.", ""},
        // clang-format on
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.message);
        memory_line::Clear();
        memory_line::RefuseOpen(r.refuse);
        memory_line::ConfigureAnswers(r.setup);
        for (const std::string& a : r.answers)
            Answers({a});
        log.Clear();
        pauses.clear();
        modem.SetInitString(r.init);
        EXPECT_FALSE(modem.Initialize(r.com, 96));
        EXPECT_EQ(log.Lines(), r.message.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{kSource + r.message});
        EXPECT_EQ(Written(), r.written);
        EXPECT_EQ(modem.GetState(), CModemInterface::STATE_CLOSED);
        EXPECT_EQ(memory_line::OpenPorts(), 0);
        EXPECT_EQ(pauses, std::vector<uint32_t>{1500});
        EXPECT_EQ(modem.GetLastError(), r.refuse ? 2u : 0u);
    }
}

// A wait watches the port only while the modem is ready; an empty hang-up string sends nothing.
TEST_F(Modem, WaitWhileReadyAndAnEmptyHangUp) {
    const platform::UniqueWakeup signal = platform::WakeupCreate();
    platform::Wakeup* wakeup = signal.get();
    Answers({"x"});
    EXPECT_EQ(modem.WaitReadable(10, wakeup), 0) << "not ready: bytes do not count";
    platform::WakeupRaise(wakeup);
    EXPECT_EQ(modem.WaitReadable(10, wakeup), 2);
    memory_line::Clear();
    Answers({"ATE0V0S0=1", "0\r", "2\r1\r"});
    modem.SetHangupSuffix("");
    ASSERT_TRUE(modem.Initialize(5, 96));
    EXPECT_EQ(modem.WaitReadable(10, wakeup), 1);
    memory_line::Clear();
    EXPECT_FALSE(modem.HangUp());
    EXPECT_EQ(modem.GetState(), CModemInterface::STATE_READY);
    EXPECT_TRUE(modem.Close());
    EXPECT_EQ(modem.GetState(), CModemInterface::STATE_CLOSED);
    EXPECT_EQ(Written(), "");
}

// The link attach on a modem: a refused attach leaves nothing behind, detaching hangs up.
TEST_F(Modem, LinkOverTheModemRetriesAFailedAttachAndHangsUpWhenClosed) {
    EXPECT_EQ(link_open(), -1) << "no port configured";
    csi_set_com_port(6);
    csi_set_baud_rate(96);
    csi_set_modem_mode(1);
    csi_set_modem_string(1, "ATS0=1");
    csi_set_modem_string(2, "+++");
    csi_set_modem_string(3, "ATH0");
    Answers({"ATS0=1", "4\r"});
    EXPECT_EQ(link_open(), -1);
    EXPECT_EQ(link_open(), -1) << "no modem object is left behind: the next attach tries again";
    EXPECT_EQ(log.Texts("CSlip"),
              std::vector<std::string>(
                  2, "Error attaching slip driver to modem : COM port (6). Baudrate (9600)."));
    EXPECT_EQ(memory_line::OpenPorts(), 0);
    memory_line::Clear();
    log.Clear();
    Answers({"ATS0=1", "0\r"});
    ASSERT_EQ(link_open(), 5);
    EXPECT_EQ(memory_line::LastRate(), 9600u);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{
                               "Attached slip driver to modem : COM port (6). Baudrate (9600)."});
    EXPECT_EQ(slip_attach_modem(6, 96, "ATV0", "+++", "ATH0"), -1) << "one modem at a time";
    EXPECT_EQ(log.Texts().size(), 1u) << "silently";
    memory_line::Clear();
    link_close(5);
    EXPECT_EQ(Written(), "+++ATH0\r");
    EXPECT_EQ(memory_line::OpenPorts(), 0);
    const uint8_t packet[] = {0x01, 0xC0};
    EXPECT_EQ(slip_send(packet, 2), 0) << "nothing to send through";
}

} // namespace
