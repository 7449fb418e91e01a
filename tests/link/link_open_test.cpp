// The link attach as the CSI task drives it: link_open reads the task configuration, attaches
// the direct line or the modem, and link_close detaches (hanging the modem up). End to end
// through the emulated modem: a caller's SLIP frame becomes a payload, a reply reaches it.
#include "csi/csi_config.h"
#include "link/modem_bench.h"
#include "link/slip.h"
#include "link/udp.h"

#include <fstream>
#include <gtest/gtest.h>

using testing_support::Bytes;
using testing_support::LogCapture;
using testing_support::ModemBench;

namespace {

constexpr int kCom = 6;

class LinkOpen : public ::testing::Test {
protected:
    void SetUp() override {
        csi_config_reset_for_tests();
        slip_reset_for_tests();
        udp_reset_for_tests();
    }
    void TearDown() override {
        slip_reset_for_tests();
        csi_config_reset_for_tests();
    }
};

TEST_F(LinkOpen, UnsetComPortOrBaudCodeFailsWithoutAMessage) {
    LogCapture log;
    csi_set_baud_rate(96);
    EXPECT_EQ(link_open(), -1);
    csi_set_baud_rate(0);
    csi_set_com_port(kCom);
    EXPECT_EQ(link_open(), -1);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(LinkOpen, DirectLineIsAttachedAndClosedAgain) {
    const std::string dir = testing_support::MakeTempDir("link");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    {
        testing_support::PtyLine pty(kCom, dir);
        csi_set_com_port(kCom);
        csi_set_baud_rate(384);
        LogCapture log;
        ASSERT_EQ(link_open(), kCom - 1);
        EXPECT_TRUE(log.Has("CSlip", "Attached slip driver : COM port (6). Baudrate (38400).",
                            LOG_INFORMATION));
        const uint8_t b = 0x41;
        EXPECT_EQ(slip_send(&b, 1), 1);
        EXPECT_EQ(pty.ReadWritten(), (Bytes{0xC0, 0x41, 0xC0}));
        link_close(kCom - 1);
        EXPECT_EQ(slip_send(&b, 1), 0);
    }
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
}

void ConfigureModem() {
    csi_set_com_port(kCom);
    csi_set_baud_rate(96);
    csi_set_modem_mode(1);
    csi_set_modem_string(1, "ATE0V0S0=1");
    csi_set_modem_string(2, "+++");
    csi_set_modem_string(3, "ATH0");
}

TEST_F(LinkOpen, ModemCallCarriesDatagramsBothWaysAndCloseHangsUp) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    ConfigureModem();
    LogCapture log;
    ASSERT_EQ(link_open(), kCom - 1);
    EXPECT_TRUE(log.Has("CSlip", "Attached slip driver to modem : COM port (6). Baudrate (9600).",
                        LOG_INFORMATION));
    csi_sockaddr_in peer{};
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer), 0);
    ASSERT_TRUE(bench.ConnectCaller());

    // A packet built by scapy, framed by the caller; the modem's "2\r1\r" comes first on the
    // line and must be dropped as garbage.
    std::ifstream in(testing_support::SourceDir() + "/tests/link/scapy_vectors.txt");
    std::string name, hex;
    Bytes packet;
    while (in >> name >> hex)
        if (name == "valid")
            packet = testing_support::FromHex(hex);
    ASSERT_FALSE(packet.empty());
    bench.CallerSend(testing_support::Frame(packet));
    uint8_t buf[1024];
    csi_sockaddr_in from{};
    int fromLength = 16;
    int n = 0;
    for (int i = 0; i < 10 && n == 0; ++i)
        n = udp_recvfrom(0, buf, sizeof buf, 0, &from, &fromLength);
    ASSERT_EQ(n, 10);
    EXPECT_EQ(Bytes(buf, buf + 10), Bytes(packet.end() - 10, packet.end()));

    const Bytes reply = {0x01, 0x02, 0x03, 0x04};
    ASSERT_EQ(udp_sendto(0, reply.data(), 4, 0, &from, 16), 4);
    const std::vector<Bytes> frames = testing_support::Unframe(bench.CallerReceive());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].end() - 4, frames[0].end()), reply);
    std::string out;
    EXPECT_EQ(testing_support::RunWithInput("/usr/bin/python3 '" + testing_support::SourceDir() +
                                                "/tests/link/scapy_udp.py' check 2",
                                            testing_support::Hex(frames[0]) + "\n", &out),
              0)
        << out;

    link_close(kCom - 1);
    EXPECT_TRUE(bench.WaitForEvent("+++ escape"));
    EXPECT_TRUE(bench.WaitForEvent("ATH0 hang-up"));
    bool closed = false;
    bench.CallerReceive(500, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(slip_send(reply.data(), 4), 0);
}

TEST_F(LinkOpen, ModemThatAnswers4FailsTheAttachWithBothMessages) {
    ModemBench bench(kCom, "4");
    ASSERT_TRUE(bench.Ready());
    ConfigureModem();
    LogCapture log;
    EXPECT_EQ(link_open(), -1);
    EXPECT_TRUE(log.Has("CModemInterface", "Error initializing modem. Return-code : 4", LOG_ERROR));
    EXPECT_TRUE(log.Has("CSlip",
                        "Error attaching slip driver to modem : COM port (6). Baudrate (9600).",
                        LOG_ERROR));
    // No modem object is left behind: the next attach tries again.
    EXPECT_EQ(link_open(), -1);
    EXPECT_EQ(bench.Pauses().size(), 2u);
}

TEST_F(LinkOpen, SecondModemAttachWhileOneExistsFailsSilently) {
    ModemBench bench(kCom, "0");
    ASSERT_TRUE(bench.Ready());
    ConfigureModem();
    ASSERT_EQ(link_open(), kCom - 1);
    LogCapture log;
    EXPECT_EQ(slip_attach_modem(kCom, 96, "ATV0", "+++", "ATH0"), -1);
    EXPECT_TRUE(log.Lines().empty());
    link_close(kCom - 1);
}

} // namespace
