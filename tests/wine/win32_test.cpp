// Windows COM handles under Wine, on the two ends of the pty pair named in ECGWIN_COM_PAIR.
#include "link/v24.h"
#include "platform/clock.h"
#include "platform/serial.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

using Bytes = std::vector<uint8_t>;

class ComPair : public ::testing::Test {
protected:
    void SetUp() override {
        const char* pair = std::getenv("ECGWIN_COM_PAIR");
        if (pair == nullptr || std::sscanf(pair, "%u,%u", &a, &b) != 2)
            GTEST_SKIP() << "ECGWIN_COM_PAIR not set";
    }
    // Reads until count bytes came or about two seconds passed.
    template <typename Read> static Bytes ReadUpTo(size_t count, Read read) {
        Bytes got;
        uint8_t buffer[1006];
        for (const uint32_t start = platform::TickCount();
             got.size() < count && platform::TickCount() - start < 2000; platform::SleepMs(5)) {
            const int n = read(buffer);
            got.insert(got.end(), buffer, buffer + (n > 0 ? n : 0));
        }
        return got;
    }
    // The line's settings as the device reports them, through a handle of our own.
    DCB Settings() {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        HANDLE h = CreateFileA(platform::SerialDeviceName(a).c_str(), GENERIC_READ | GENERIC_WRITE,
                               0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_TRUE(h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb));
        CloseHandle(h);
        return dcb;
    }
    unsigned a = 0, b = 0;
};

TEST_F(ComPair, DirectLineCarriesEveryByteValueUnchangedBothWaysWithoutWaiting) {
    const int line = static_cast<int>(a) - 1;
    ASSERT_EQ(v24_open(line, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 9, 0), 0);
    platform::UniqueSerialPort owned = platform::SerialOpen(b, nullptr);
    platform::SerialPort* peer = owned.get();
    ASSERT_EQ(platform::SerialConfigureDirect(peer, 57600), platform::SerialSetup::Ok);
    uint8_t buffer[1006];
    int n = -1;
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(v24_read_block(line, 0, 1006, buffer, &n), -2);
    EXPECT_EQ(n, 0);
    EXPECT_LT(platform::TickCount() - start, 1000u) << "an idle read returns at once";
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i); // XON, XOFF, CR, LF and 0xFF among them
    EXPECT_EQ(v24_write_block(line, 100, all.data(), 256), 0);
    EXPECT_EQ(ReadUpTo(256, [&](uint8_t* to) { return platform::SerialRead(peer, to, 512); }), all);
    ASSERT_TRUE(platform::SerialWrite(peer, all.data(), 256));
    EXPECT_EQ(ReadUpTo(256,
                       [&](uint8_t* to) {
                           EXPECT_EQ(v24_read_block(line, 0, 1006, to, &n), -2);
                           return n;
                       }),
              all);
    EXPECT_TRUE(platform::SerialClose(std::move(owned)));
    EXPECT_EQ(v24_close(line) + 2 * v24_close(line), -2) << "closed once";
    EXPECT_EQ(v24_open(198, 0, 1, 0, 5, 0), -1) << "a port that does not exist";
}

TEST_F(ComPair, LineSettingsReachTheDeviceAndAnIdleModemReadEnds) {
    platform::UniqueSerialPort port = platform::SerialOpen(a, nullptr);
    ASSERT_EQ(platform::SerialConfigureDirect(port.get(), 19200), platform::SerialSetup::Ok);
    ASSERT_TRUE(platform::SerialClose(std::move(port)));
    const DCB dcb = Settings();
    EXPECT_EQ(std::make_tuple(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits),
              std::make_tuple(DWORD(19200), BYTE(8), BYTE(NOPARITY), BYTE(ONESTOPBIT)));
    EXPECT_EQ(dcb.fOutX | dcb.fInX | dcb.fOutxCtsFlow, 0u) << "no flow control of any kind";
    port = platform::SerialOpen(a, nullptr);
    ASSERT_EQ(platform::SerialConfigureModem(port.get(), 0), platform::SerialSetup::Ok);
    EXPECT_EQ(Settings().BaudRate, 19200u) << "an unknown baud code keeps the port's rate";
    uint8_t buffer[100];
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(platform::SerialRead(port.get(), buffer, 100), 0);
    EXPECT_LT(platform::TickCount() - start, 2000u) << "the total time-out ends an idle read";
    platform::SerialClose(std::move(port));
}

} // namespace
