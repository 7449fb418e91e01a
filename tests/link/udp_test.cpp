// The datagram layer against an independent implementation: packets built by scapy go through
// a real pty as SLIP frames into udp_recvfrom, and what udp_sendto puts on the pty is checked
// by scapy. Each receive check must drop exactly the packets it is there for.
#include "link/slip.h"
#include "link/test_support.h"
#include "link/udp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

using testing_support::Bytes;
using testing_support::LogCapture;
using testing_support::PtyLine;

namespace {

constexpr int kCom = 11;
const Bytes kPayload = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39};
const Bytes kAwkward = {0xC0, 0xDB, 0x11, 0x13, 0x0A, 0x0D, 0xFF, 0x00};

std::string ScapyScript() {
    return "/usr/bin/python3 '" + testing_support::SourceDir() + "/tests/link/scapy_udp.py'";
}

using testing_support::Frame;
using testing_support::Unframe;

class UdpOverPty : public ::testing::Test {
protected:
    // Loaded in SetUp, not SetUpTestSuite: a failure there must fail the tests, not skip them.
    // The vectors were made by scapy_udp.py (ScapyVectors.CheckedInVectorsAreWhatScapyBuilds
    // keeps them honest); reading them saves a scapy start per test.
    static void LoadVectors() {
        if (!vectors_.empty())
            return;
        std::ifstream in(testing_support::SourceDir() + "/tests/link/scapy_vectors.txt");
        std::string name, hex;
        while (in >> name >> hex)
            vectors_[name] = testing_support::FromHex(hex);
    }
    void SetUp() override {
        LoadVectors();
        ASSERT_TRUE(vectors_.count("valid"));
        dir_ = testing_support::MakeTempDir("udp");
        setenv("ECGCOMM_PORTS", dir_.c_str(), 1);
        pty_ = std::make_unique<PtyLine>(kCom, dir_);
        udp_reset_for_tests();
        ASSERT_EQ(slip_attach(kCom, 96), kCom - 1);
        ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer_), 0);
    }
    void TearDown() override {
        link_close(kCom - 1);
        slip_reset_for_tests();
        pty_.reset();
        unsetenv("ECGCOMM_PORTS");
        testing_support::RemoveTree(dir_);
    }
    const Bytes& Vector(const std::string& name) {
        EXPECT_TRUE(vectors_.count(name)) << name;
        return vectors_[name];
    }
    // Polls udp_recvfrom until a datagram is accepted or the time is up.
    Bytes Receive(csi_sockaddr_in* from, int capacity = 1024, int timeoutMs = 3000) {
        uint8_t buf[1024];
        int fromLength = sizeof *from;
        for (int i = 0; i < timeoutMs; ++i) {
            const int n = udp_recvfrom(0, buf, capacity, 0, from, &fromLength);
            if (n > 0)
                return Bytes(buf, buf + n);
            usleep(1000);
        }
        return {};
    }
    std::string ScapyCheck(const std::vector<Bytes>& packets, const std::string& ids, int* rc) {
        std::string input, out;
        for (const auto& p : packets)
            input += testing_support::Hex(p) + "\n";
        *rc = testing_support::RunWithInput(ScapyScript() + " check " + ids, input, &out);
        return out;
    }

    static std::map<std::string, Bytes> vectors_;
    std::string dir_;
    std::unique_ptr<PtyLine> pty_;
    csi_sockaddr_in peer_{};
};

std::map<std::string, Bytes> UdpOverPty::vectors_;

TEST_F(UdpOverPty, InetSetupFillsThePeerRecordInNetworkOrder) {
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&peer_);
    EXPECT_EQ(raw[1], 2);
    EXPECT_EQ(Bytes(raw + 2, raw + 8), (Bytes{0x22, 0xB8, 192, 9, 9, 4}));
    EXPECT_EQ(Bytes(raw + 8, raw + 16), Bytes(8, 0));
}

TEST_F(UdpOverPty, PacketBuiltByScapyComesOutAsPayloadWithItsSender) {
    pty_->Write(Frame(Vector("valid")));
    csi_sockaddr_in from{};
    EXPECT_EQ(Receive(&from), kPayload);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&from);
    EXPECT_EQ(Bytes(raw + 2, raw + 8), (Bytes{0x10, 0xE1, 10, 1, 2, 3})); // 4321, 10.1.2.3
}

TEST_F(UdpOverPty, PayloadWithFrameAndControlBytesSurvivesTheLine) {
    pty_->Write(Frame(Vector("valid_awkward_bytes")));
    csi_sockaddr_in from{};
    EXPECT_EQ(Receive(&from), kAwkward);
}

TEST_F(UdpOverPty, OddPayloadIsAcceptedOnReceive) {
    pty_->Write(Frame(Vector("odd_payload")));
    csi_sockaddr_in from{};
    EXPECT_EQ(Receive(&from), (Bytes{'a', 'b', 'c'}));
}

// Every one of these must be dropped silently; the valid packet after it must come through.
TEST_F(UdpOverPty, EachReceiveCheckDropsItsPacketAndLetsTheNextOneThrough) {
    const char* dropped[] = {
        "empty_payload",     "bad_ip_checksum", "bad_udp_checksum", "corrupted_payload",
        "udp_checksum_zero", "tos_set",         "ip_options",       "total_length_plus_one",
        "protocol_tcp",      "wrong_port",      "truncated"};
    for (const char* name : dropped) {
        SCOPED_TRACE(name);
        LogCapture log;
        Bytes wire = Frame(Vector(name));
        const Bytes sentinel = Frame(Vector("valid_awkward_bytes"));
        wire.insert(wire.end(), sentinel.begin(), sentinel.end());
        pty_->Write(wire);
        csi_sockaddr_in from{};
        EXPECT_EQ(Receive(&from), kAwkward);
        EXPECT_TRUE(log.Lines().empty());
        uint8_t buf[1024];
        int fromLength = 16;
        EXPECT_EQ(udp_recvfrom(0, buf, sizeof buf, 0, &from, &fromLength), 0);
    }
}

TEST_F(UdpOverPty, GarbageBetweenFramesIsDropped) {
    Bytes wire = {0x01, 0x02, 0x03, 0xC0, 0x45, 0x00, 0xC0};
    const Bytes good = Frame(Vector("valid"));
    wire.insert(wire.end(), good.begin(), good.end());
    pty_->Write(wire);
    csi_sockaddr_in from{};
    EXPECT_EQ(Receive(&from), kPayload);
}

TEST_F(UdpOverPty, SetLocalAddressDropsPacketsForOtherHosts) {
    ASSERT_EQ(inet_setup(0xC0090905u, CSI_ADDR_PEER, CSI_PORT, &peer_), 0); // 192.9.9.5
    Bytes wire = Frame(Vector("to_other_host"));
    const Bytes good = Frame(Vector("valid_awkward_bytes"));
    wire.insert(wire.end(), good.begin(), good.end());
    pty_->Write(wire);
    csi_sockaddr_in from{};
    EXPECT_EQ(Receive(&from), kAwkward);
}

TEST_F(UdpOverPty, NotSetLocalAddressLearnsTheDestinationAndRepliesFromIt) {
    // Before anything was received the reply goes out from 0.0.0.0.
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    std::vector<Bytes> frames = Unframe(pty_->ReadWritten());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].begin() + 12, frames[0].begin() + 16), Bytes(4, 0));

    pty_->Write(Frame(Vector("to_other_host")));
    csi_sockaddr_in from{};
    ASSERT_EQ(Receive(&from), kPayload);
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &from, 16), 10);
    frames = Unframe(pty_->ReadWritten());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].begin() + 12, frames[0].begin() + 16), (Bytes{10, 9, 9, 9}));
    EXPECT_EQ(Bytes(frames[0].begin() + 16, frames[0].begin() + 24),
              (Bytes{10, 1, 2, 3, 0x22, 0xB8, 0x10, 0xE1}));
}

TEST_F(UdpOverPty, PayloadLargerThanTheCapacityIsLostWithAWarningButNamesTheSender) {
    LogCapture log;
    pty_->Write(Frame(Vector("large_payload")));
    csi_sockaddr_in from{};
    uint8_t buf[1024];
    int fromLength = 16;
    int n = -1;
    for (int i = 0;
         i < 3000 && !log.Has("csi_task_interface",
                              "More data received than fits in buffer. Packet lost!", LOG_WARNING);
         ++i) {
        n = udp_recvfrom(0, buf, 512, 0, &from, &fromLength);
        usleep(1000);
    }
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(log.Has("csi_task_interface",
                        "More data received than fits in buffer. Packet lost!", LOG_WARNING));
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&from);
    EXPECT_EQ(Bytes(raw + 2, raw + 8), (Bytes{0x10, 0xE1, 10, 1, 2, 3}));
}

TEST_F(UdpOverPty, SentPacketsAreValidForScapyWithIdentifications246) {
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    ASSERT_EQ(udp_sendto(0, kAwkward.data(), 8, 0, &peer_, 16), 8);
    const Bytes big(900, 0x5A);
    ASSERT_EQ(udp_sendto(0, big.data(), 900, 0, &peer_, 16), 900);
    const std::vector<Bytes> frames = Unframe(pty_->ReadWritten());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].size(), 38u);
    int rc = -1;
    const std::string out = ScapyCheck(frames, "2 4 6", &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(Bytes(frames[1].begin() + 28, frames[1].end()), kAwkward);
}

TEST_F(UdpOverPty, OddPayloadIsRefusedWithAnErrorAndNothingIsSent) {
    LogCapture log;
    const Bytes odd(39, 0x41);
    EXPECT_EQ(udp_sendto(0, odd.data(), 39, 0, &peer_, 16), 0);
    EXPECT_TRUE(
        log.Has("csi_task_interface", "Unable to generate UDP packet for CSI data", LOG_ERROR));
    EXPECT_TRUE(pty_->ReadWritten(100, 300).empty());
}

TEST_F(UdpOverPty, PayloadWhoseFrameExceedsTheLineLimitIsNotSent) {
    LogCapture log;
    // A peer whose address needs no escaping, so that the frame is exactly packet + 2.
    const uint8_t peer[4] = {10, 1, 2, 3};
    std::memcpy(&peer_.sin_addr, peer, 4);
    const Bytes fits(976, 0x41); // 1004-byte packet, 1006-byte frame
    EXPECT_EQ(udp_sendto(0, fits.data(), 976, 0, &peer_, 16), 976);
    EXPECT_EQ(pty_->ReadWritten().size(), 1006u);
    const Bytes tooLong(978, 0x41);
    EXPECT_EQ(udp_sendto(0, tooLong.data(), 978, 0, &peer_, 16), 0);
    const Bytes tooBig(998, 0x41); // over the 1024-byte packet buffer
    EXPECT_EQ(udp_sendto(0, tooBig.data(), 998, 0, &peer_, 16), 0);
    EXPECT_TRUE(
        log.Has("csi_task_interface", "Unable to generate UDP packet for CSI data", LOG_ERROR));
    EXPECT_EQ(log.Lines().size(), 1u);
}

TEST_F(UdpOverPty, IdentificationWrapsToZeroOnThe32768thPacket) {
    link_close(kCom - 1); // packets are still built and counted while nothing is attached
    for (int i = 1; i < 32768; ++i)
        ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 0);
    ASSERT_EQ(slip_attach(kCom, 96), kCom - 1);
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    const std::vector<Bytes> frames = Unframe(pty_->ReadWritten());
    ASSERT_EQ(frames.size(), 2u);
    int rc = -1;
    const std::string out = ScapyCheck(frames, "0 2", &rc);
    EXPECT_EQ(rc, 0) << out;
}

TEST_F(UdpOverPty, BindRestartsTheIdentificationAt2) {
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    ASSERT_EQ(inet_setup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &peer_), 0);
    ASSERT_EQ(udp_sendto(0, kPayload.data(), 10, 0, &peer_, 16), 10);
    const std::vector<Bytes> frames = Unframe(pty_->ReadWritten());
    ASSERT_EQ(frames.size(), 2u);
    int rc = -1;
    const std::string out = ScapyCheck(frames, "2 2", &rc);
    EXPECT_EQ(rc, 0) << out;
}

TEST(ScapyVectors, CheckedInVectorsAreWhatScapyBuilds) {
    std::string out;
    ASSERT_EQ(testing_support::RunWithInput(ScapyScript() + " make", "", &out), 0) << out;
    std::ifstream in(testing_support::SourceDir() + "/tests/link/scapy_vectors.txt");
    const std::string stored((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(out, stored);
}

} // namespace
