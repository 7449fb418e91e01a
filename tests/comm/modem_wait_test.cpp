// The fast loop's wait on the modem, against the Hayes modem emulator: caller bytes end it, a
// modem that is not ready only listens for a posted command, and a quiet call waits its time.
#include "comm/modem_interface.h"
#include "link/modem_bench.h"
#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testing_support::ModemBench;

namespace {

constexpr int kCom = 6;

int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

TEST(ModemWait, ModemNotReadyOnlyListensForAPostedCommand) {
    CModemInterface modem;
    platform::Wakeup* wakeup = platform::WakeupCreate();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem.WaitReadable(80, wakeup), 0);
    EXPECT_GE(MsSince(start), 70);
    platform::WakeupRaise(wakeup);
    EXPECT_EQ(modem.WaitReadable(10000, wakeup), 2);
    platform::WakeupDestroy(wakeup);
}

TEST(ModemWait, CallerBytesEndTheWaitAndAQuietCallWaitsItsTime) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    CModemInterface modem;
    modem.SetInitString("ATV0");
    modem.SetHangupPrefix("+++");
    modem.SetHangupSuffix("ATH0");
    ASSERT_TRUE(modem.Initialize(kCom, 96));
    ASSERT_TRUE(bench.ConnectCaller());
    // The connection report ("2\r1\r") is the first thing to read.
    EXPECT_EQ(modem.WaitReadable(10000, nullptr), 1);
    uint8_t buf[1006];
    int got = 0;
    std::string report;
    for (int i = 0; i < 20 && report.size() < 4; ++i) {
        ASSERT_TRUE(modem.Read(buf, 100, &got));
        report.append(buf, buf + got);
    }
    ASSERT_EQ(report, "2\r1\r");

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem.WaitReadable(150, nullptr), 0);
    EXPECT_GE(MsSince(start), 140);

    std::thread caller([&bench] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        bench.CallerSend({0xC0, 0x01, 0xC0});
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(modem.WaitReadable(10000, nullptr), 1);
    EXPECT_LT(MsSince(start), 5000);
    caller.join();
    modem.Close();
}

} // namespace
