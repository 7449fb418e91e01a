// Windows COM ports: the direct line and the modem port through real "\\.\COM<n>" handles.
// The Wine suite maps two COM numbers onto the two ends of one pty pair and names them in
// ECGWIN_COM_PAIR ("7,8"); without that the port tests are skipped.
#include "link/v24.h"
#include "platform/clock.h"
#include "platform/serial.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool ComPair(unsigned* a, unsigned* b) {
    const char* pair = std::getenv("ECGWIN_COM_PAIR");
    return pair != nullptr && std::sscanf(pair, "%u,%u", a, b) == 2;
}

// Reads on the port until count bytes came or about two seconds passed.
std::vector<uint8_t> ReadUpTo(platform::SerialPort* port, size_t count) {
    std::vector<uint8_t> got;
    const uint32_t start = platform::TickCount();
    while (got.size() < count && platform::TickCount() - start < 2000) {
        uint8_t buffer[512];
        const int n = platform::SerialRead(port, buffer, static_cast<int>(sizeof buffer));
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
        else
            platform::SleepMs(5);
    }
    return got;
}

std::vector<uint8_t> EveryByte() {
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    return all;
}

class ComPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ComPair(&a, &b))
            GTEST_SKIP() << "ECGWIN_COM_PAIR not set";
    }
    unsigned a = 0, b = 0;
};

} // namespace

TEST(SerialName, ComNumberOpensTheDeviceNamespaceName) {
    EXPECT_EQ(platform::SerialDeviceName(3), "\\\\.\\COM3");
    EXPECT_EQ(platform::SerialDeviceName(255), "\\\\.\\COM255");
}

TEST(SerialOpen, MissingPortFailsWithThePlatformErrorAndTheLineStaysClosed) {
    uint32_t error = 0;
    EXPECT_EQ(platform::SerialOpen(199, &error), nullptr);
    EXPECT_NE(error, 0u);
    EXPECT_EQ(
        v24_open(198, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 10, V24_HANDSHAKE_NONE),
        -1);
    EXPECT_EQ(v24_close(198), -1);
}

TEST_F(ComPairTest, DirectLineCarriesEveryByteValueUnchangedBothWays) {
    // Identifiers and checksums hold XON, XOFF, CR, LF and 0xFF: nothing may be eaten or added.
    const int line = static_cast<int>(a) - 1;
    ASSERT_EQ(
        v24_open(line, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 9, V24_HANDSHAKE_NONE),
        0);
    platform::SerialPort* peer = platform::SerialOpen(b, nullptr);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(platform::SerialConfigureDirect(peer, 57600), platform::SerialSetup::Ok);

    const std::vector<uint8_t> all = EveryByte();
    EXPECT_EQ(v24_write_block(line, 100, all.data(), static_cast<int>(all.size())), 0);
    EXPECT_EQ(ReadUpTo(peer, all.size()), all);

    ASSERT_TRUE(platform::SerialWrite(peer, all.data(), static_cast<int>(all.size())));
    std::vector<uint8_t> got;
    const uint32_t start = platform::TickCount();
    while (got.size() < all.size() && platform::TickCount() - start < 2000) {
        uint8_t buffer[1006];
        int n = -1;
        // Time-out 0: one read of what has arrived, reported as a time-out.
        EXPECT_EQ(v24_read_block(line, 0, 1006, buffer, &n), -2);
        got.insert(got.end(), buffer, buffer + n);
        if (n == 0)
            platform::SleepMs(5);
    }
    EXPECT_EQ(got, all);
    EXPECT_TRUE(platform::SerialClose(peer));
    EXPECT_EQ(v24_close(line), 0);
    EXPECT_EQ(v24_close(line), -1) << "a closed line cannot be closed again";
}

TEST_F(ComPairTest, ReadOfAnIdleDirectLineReturnsAtOnceWithNothing) {
    const int line = static_cast<int>(a) - 1;
    ASSERT_EQ(
        v24_open(line, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 5, V24_HANDSHAKE_NONE),
        0);
    uint8_t buffer[1006];
    int n = -1;
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(v24_read_block(line, 0, 1006, buffer, &n), -2);
    EXPECT_EQ(n, 0);
    EXPECT_LT(platform::TickCount() - start, 1000u) << "the read must not wait for data";
    EXPECT_EQ(v24_close(line), 0);
}

TEST_F(ComPairTest, ModemPortReadWaitsBrieflyForSilenceAndReturnsWhatCame) {
    platform::SerialPort* modem = platform::SerialOpen(a, nullptr);
    ASSERT_NE(modem, nullptr);
    ASSERT_EQ(platform::SerialConfigureModem(modem, 9600), platform::SerialSetup::Ok);
    platform::SerialPort* peer = platform::SerialOpen(b, nullptr);
    ASSERT_NE(peer, nullptr);
    ASSERT_EQ(platform::SerialConfigureDirect(peer, 9600), platform::SerialSetup::Ok);

    uint8_t buffer[100];
    // Nothing on the line: the read gives up after its total time-out with no bytes.
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(platform::SerialRead(modem, buffer, 100), 0);
    EXPECT_LT(platform::TickCount() - start, 2000u);

    const std::string answer = "ATS0=1\r\r\n0\r";
    ASSERT_TRUE(platform::SerialWrite(peer, reinterpret_cast<const uint8_t*>(answer.data()),
                                      static_cast<int>(answer.size())));
    platform::SleepMs(200);
    const int n = platform::SerialRead(modem, buffer, 100);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n > 0 ? n : 0), answer);
    EXPECT_TRUE(platform::SerialClose(peer));
    EXPECT_TRUE(platform::SerialClose(modem));
}

namespace {

// The line's settings as the device reports them, through a handle of our own.
bool ReadDeviceSettings(unsigned com, DCB* dcb) {
    HANDLE h = CreateFileA(platform::SerialDeviceName(com).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    ZeroMemory(dcb, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    const bool ok = GetCommState(h, dcb) != 0;
    CloseHandle(h);
    return ok;
}

} // namespace

TEST_F(ComPairTest, DirectLineSettingsReachTheDeviceAndTheModemKeepsTheRateWhenAskedTo) {
    platform::SerialPort* port = platform::SerialOpen(a, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(platform::SerialConfigureDirect(port, 19200), platform::SerialSetup::Ok);
    ASSERT_TRUE(platform::SerialClose(port));
    DCB dcb;
    ASSERT_TRUE(ReadDeviceSettings(a, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 0u) << "XON/XOFF would eat 0x11 and 0x13";
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);

    // Baud code 0 (an unknown code): the modem port keeps the rate the port had.
    port = platform::SerialOpen(a, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(platform::SerialConfigureModem(port, 0), platform::SerialSetup::Ok);
    ASSERT_TRUE(platform::SerialClose(port));
    ASSERT_TRUE(ReadDeviceSettings(a, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);

    port = platform::SerialOpen(a, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(platform::SerialConfigureModem(port, 115200), platform::SerialSetup::Ok);
    ASSERT_TRUE(platform::SerialClose(port));
    ASSERT_TRUE(ReadDeviceSettings(a, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
}

TEST(SerialOem, AsciiModemCommandsPassUnchanged) {
    EXPECT_EQ(platform::SerialToOem("AT&F E1 V0 S0=1"), "AT&F E1 V0 S0=1");
}
