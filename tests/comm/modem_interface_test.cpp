// The modem interface against the Hayes modem emulator: the exact bytes written, in order and
// with their pauses; result codes 0 and 4; a silent modem; empty strings; the error messages.
#include "comm/modem_interface.h"
#include "link/modem_bench.h"

#include <gtest/gtest.h>

using testing_support::Bytes;
using testing_support::LogCapture;
using testing_support::ModemBench;

namespace {

constexpr int kCom = 5;
const char* const kSource = "CModemInterface";

std::unique_ptr<CModemInterface> MakeModem(const std::string& init, const std::string& prefix,
                                           const std::string& suffix) {
    auto modem = std::make_unique<CModemInterface>();
    modem->SetInitString(init);
    modem->SetHangupPrefix(prefix);
    modem->SetHangupSuffix(suffix);
    return modem;
}

TEST(ModemInitialize, WritesTheStringThenCarriageReturnAndAnswer0MakesItReady) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    LogCapture log;
    auto modem = MakeModem("ATE0V0S0=1", "+++", "ATH0");
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_READY);
    EXPECT_EQ(bench.Pauses(), (std::vector<uint32_t>{1500}));
    // The string goes out alone (no line end); the carriage return follows after the echo.
    const auto events = bench.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].text, "rx " + testing_support::Hex(
                                          Bytes{'A', 'T', 'E', '0', 'V', '0', 'S', '0', '=', '1'}));
    EXPECT_EQ(events[1].text, "rx 0d");
    EXPECT_TRUE(log.Lines().empty());
}

TEST(ModemInitialize, Answer4LogsTheCodeAndClosesThePort) {
    ModemBench bench(kCom, "4");
    ASSERT_TRUE(bench.Ready());
    LogCapture log;
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    EXPECT_FALSE(modem->Initialize(kCom, 96));
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_CLOSED);
    EXPECT_TRUE(log.Has(kSource, "Error initializing modem. Return-code : 4", LOG_ERROR));
    uint8_t buf[8];
    int got = 0;
    EXPECT_FALSE(modem->Read(buf, 8, &got));
    // The port was released: a new object can open it.
    auto again = MakeModem("ATV0", "+++", "ATH0");
    EXPECT_FALSE(again->Initialize(kCom, 96));
    EXPECT_FALSE(
        log.Has(kSource, "Error opening com-port : " + bench.PortPath(kCom) + ".", LOG_ERROR));
}

TEST(ModemInitialize, SilentModemIsReportedAsAPortThatCannotBeOpened) {
    ModemBench bench(kCom, "silent");
    ASSERT_TRUE(bench.Ready());
    LogCapture log;
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    EXPECT_FALSE(modem->Initialize(kCom, 96));
    EXPECT_TRUE(
        log.Has(kSource, "Error opening com-port : " + bench.PortPath(kCom) + ".", LOG_ERROR));
    EXPECT_EQ(bench.CommandBytes(), "ATV0\r");
}

TEST(ModemInitialize, EmptyInitialisationStringNeverOpensThePort) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    LogCapture log;
    auto modem = MakeModem("", "+++", "ATH0");
    EXPECT_FALSE(modem->Initialize(kCom, 96));
    EXPECT_TRUE(log.Has(
        kSource, "Modem initialization-string is empty. Unable to initialize modem.", LOG_ERROR));
    EXPECT_EQ(bench.Pauses(), (std::vector<uint32_t>{1500}));
    usleep(100000);
    EXPECT_TRUE(bench.Events().empty());
}

TEST(ModemInitialize, ComNumbers0And257AreRefused) {
    LogCapture log;
    CModemInterface::SetPauseFunction([](uint32_t) {});
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    EXPECT_FALSE(modem->Initialize(0, 96));
    EXPECT_FALSE(modem->Initialize(257, 96));
    CModemInterface::SetPauseFunction(nullptr);
    int refused = 0;
    for (const auto& l : log.Lines())
        refused += l.text == "Invalid com-port or baudrate. Unable to initialize modem.";
    EXPECT_EQ(refused, 2);
}

TEST(ModemInitialize, PortThatDoesNotExistIsNamedInTheError) {
    const std::string dir = testing_support::MakeTempDir("nomodem");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    symlink((dir + "/gone").c_str(), (dir + "/COM8").c_str());
    CModemInterface::SetPauseFunction([](uint32_t) {});
    LogCapture log;
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    EXPECT_FALSE(modem->Initialize(8, 96));
    EXPECT_TRUE(log.Has(kSource, "Error opening com-port : " + dir + "/COM8.", LOG_ERROR));
    EXPECT_NE(modem->GetLastError(), 0u);
    CModemInterface::SetPauseFunction(nullptr);
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
}

TEST(ModemHangUp, WritesPrefixAndSuffixWithTheGuardPausesBetween) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    const size_t before = bench.Events().size();
    EXPECT_TRUE(modem->HangUp());
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_HUNG_UP);
    EXPECT_EQ(bench.Pauses(), (std::vector<uint32_t>{1500, 1500, 1500}));
    ASSERT_TRUE(bench.WaitForEvent("ATH0 hang-up"));
    const auto events = bench.Events();
    std::vector<testing_support::ModemEvent> rx(events.begin() + before, events.end());
    ASSERT_GE(rx.size(), 3u);
    EXPECT_EQ(rx[0].text, "rx 2b2b2b");
    EXPECT_EQ(rx[1].text, "rx 41544830"); // ATH0, no line end
    EXPECT_EQ(rx[2].text, "rx 0d");
    // The shortened guard pause (1500 ms / 5) separates prefix and suffix; allow for a loaded
    // machine only in the long direction.
    EXPECT_GE(rx[1].time - rx[0].time, 0.2);
    uint8_t buf[8];
    int got = 0;
    EXPECT_FALSE(modem->Read(buf, 8, &got));
    EXPECT_FALSE(modem->Write(buf, 1, &got));
    EXPECT_TRUE(modem->Close());
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_CLOSED);
}

TEST(ModemHangUp, EmptySuffixSendsNothingButCloseStillClosesThePort) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    auto modem = MakeModem("ATV0", "+++", "");
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    const size_t before = bench.Events().size();
    EXPECT_FALSE(modem->HangUp());
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_READY);
    EXPECT_TRUE(modem->Close());
    EXPECT_EQ(modem->GetState(), CModemInterface::STATE_CLOSED);
    usleep(100000);
    EXPECT_EQ(bench.Events().size(), before);
    EXPECT_EQ(bench.Pauses().size(), 1u);
}

TEST(ModemData, ReadAndWriteReachTheCallerOnlyWhileReady) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    uint8_t buf[1006];
    int got = 0;
    EXPECT_FALSE(modem->Read(buf, 8, &got));
    EXPECT_FALSE(modem->Write(buf, 1, &got));
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    ASSERT_TRUE(bench.ConnectCaller());
    // The connection report arrives as text before any data.
    std::string report;
    for (int i = 0; i < 20 && report.size() < 4; ++i) {
        ASSERT_TRUE(modem->Read(buf, 100, &got));
        report.append(buf, buf + got);
    }
    EXPECT_EQ(report, "2\r1\r");
    const Bytes data = {0xC0, 0x11, 0x13, 0x0D, 0x0A, 0xFF, 0xC0};
    ASSERT_TRUE(modem->Write(data.data(), static_cast<int>(data.size()), &got));
    EXPECT_EQ(bench.CallerReceive(), data);
    bench.CallerSend({0xC0, 0x01, 0x02, 0xC0});
    Bytes in;
    for (int i = 0; i < 20 && in.size() < 4; ++i) {
        ASSERT_TRUE(modem->Read(buf, 1006, &got));
        in.insert(in.end(), buf, buf + got);
    }
    EXPECT_EQ(in, (Bytes{0xC0, 0x01, 0x02, 0xC0}));
    // Hang-up from data mode: escape, ATH0, and the caller's connection is closed.
    EXPECT_TRUE(modem->Close());
    EXPECT_TRUE(bench.WaitForEvent("+++ escape"));
    EXPECT_TRUE(bench.WaitForEvent("ATH0 hang-up"));
    bool closed = false;
    bench.CallerReceive(500, &closed);
    EXPECT_TRUE(closed);
}

TEST(ModemRead, IdleReadWaitsAboutOneMillisecondPerByteAsked) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    uint8_t buf[1006];
    int got = -1;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(modem->Read(buf, 1006, &got));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_EQ(got, 0);
    // The idle read paces the engine in modem mode: it must not return early.
    EXPECT_GE(ms, 1000);
}

} // namespace

namespace {

struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

uint32_t PortRate(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    KernelTermios2 t{};
    ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t);
    close(fd);
    return t.c_ospeed;
}

void SetPortRate(const std::string& path, speed_t rate) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfsetspeed(&t, rate);
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
}

TEST(ModemInitialize, BaudCodeWithoutAModemRateKeepsThePortRate) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    SetPortRate(bench.PortPath(kCom), B2400);
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    ASSERT_TRUE(modem->Initialize(kCom, 24));
    EXPECT_EQ(PortRate(bench.PortPath(kCom)), 2400u);
    modem->Close();
    auto fast = MakeModem("ATV0", "+++", "ATH0");
    ASSERT_TRUE(fast->Initialize(kCom, 1152));
    EXPECT_EQ(PortRate(bench.PortPath(kCom)), 115200u);
}

} // namespace

namespace {

TEST(ModemData, CallerHangingUpIsReportedAsNoCarrierOnTheLine) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    auto modem = MakeModem("ATV0", "+++", "ATH0");
    ASSERT_TRUE(modem->Initialize(kCom, 96));
    ASSERT_TRUE(bench.ConnectCaller());
    bench.DropCaller();
    ASSERT_TRUE(bench.WaitForEvent("caller gone"));
    uint8_t buf[100];
    int got = 0;
    std::string seen;
    for (int i = 0; i < 20 && seen.find("3\r") == std::string::npos; ++i) {
        ASSERT_TRUE(modem->Read(buf, 100, &got));
        seen.append(buf, buf + got);
    }
    EXPECT_EQ(seen, "2\r1\r3\r");
}

} // namespace
