// SLIP framing through a real pty: bytes on the wire for slip_send, and slip_receive against
// frames split over reads, packed into one read, cut inside escapes, oversized or mixed with
// garbage. Also the attach messages.
#include "link/slip.h"
#include "link/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>

using testing_support::Bytes;
using testing_support::LogCapture;
using testing_support::PtyLine;

namespace {

constexpr int kCom = 7;

class SlipLine : public testing_support::SlipPty {
protected:
    SlipLine() : SlipPty(kCom, 96, "slip") {}
    // Polls slip_receive until a packet comes out or the time is up.
    Bytes Receive(int timeoutMs = 3000) {
        uint8_t packet[SLIP_MAX_FRAME];
        for (int i = 0; i < timeoutMs; ++i) {
            const int n = slip_receive(packet);
            if (n > 0)
                return Bytes(packet, packet + n);
            usleep(1000);
        }
        return {};
    }
    // Feeds bytes and makes sure the receiver has read all of them without a complete frame.
    void FeedPartial(const Bytes& bytes) {
        pty_->Write(bytes);
        ASSERT_TRUE(pty_->WaitQueued(static_cast<int>(bytes.size())));
        uint8_t packet[SLIP_MAX_FRAME];
        ASSERT_EQ(slip_receive(packet), 0);
        ASSERT_EQ(pty_->Queued(), 0);
    }
};

TEST_F(SlipLine, SendEscapesEndAndEscBytes) {
    const uint8_t packet[] = {0x01, 0xC0, 0xDB};
    ASSERT_EQ(slip_send(packet, 3), 1);
    EXPECT_EQ(pty_->ReadWritten(), (Bytes{0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0}));
}

TEST_F(SlipLine, SendOfEmptyPacketWritesTwoEnds) {
    ASSERT_EQ(slip_send(nullptr, 0), 1);
    EXPECT_EQ(pty_->ReadWritten(), (Bytes{0xC0, 0xC0}));
}

TEST_F(SlipLine, SendPassesControlBytesUnchanged) {
    // Flow-control characters, CR/LF and 0xFF must cross a raw line untouched.
    const Bytes packet = {0x0A, 0x0D, 0x11, 0x13, 0xFF, 0x00, 0x7F, 0x03, 0x1C};
    ASSERT_EQ(slip_send(packet.data(), static_cast<int>(packet.size())), 1);
    Bytes expected = {0xC0};
    expected.insert(expected.end(), packet.begin(), packet.end());
    expected.push_back(0xC0);
    EXPECT_EQ(pty_->ReadWritten(), expected);
}

TEST_F(SlipLine, SendAcceptsFrameOfExactly1006BytesAndRefusesOneMore) {
    Bytes packet(1004, 0x41);
    ASSERT_EQ(slip_send(packet.data(), 1004), 1);
    EXPECT_EQ(pty_->ReadWritten().size(), 1006u);
    packet.push_back(0x41);
    EXPECT_EQ(slip_send(packet.data(), 1005), 0);
    // An escaped byte costs one more: 1003 plain + one 0xC0 is also 1006 on the wire.
    Bytes escaped(1003, 0x41);
    escaped.push_back(0xC0);
    EXPECT_EQ(slip_send(escaped.data(), 1004), 0);
    EXPECT_TRUE(pty_->ReadWritten(100, 300).empty());
}

TEST_F(SlipLine, ReceiveDecodesEscapesAndSkipsLeadingEnds) {
    pty_->Write({0xC0, 0xC0, 0x41, 0xDB, 0xDC, 0xDB, 0xDD, 0x42, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x41, 0xC0, 0xDB, 0x42}));
}

TEST_F(SlipLine, ReceiveDropsEscFollowedByOrdinaryByte) {
    pty_->Write({0x41, 0xDB, 0x42, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x41, 0x42}));
}

TEST_F(SlipLine, FrameSplitAcrossReadsIsReturnedOnSecondRead) {
    FeedPartial({0xC0, 0x01, 0x02, 0x03});
    EXPECT_EQ(slip_pending_count(), 4);
    pty_->Write({0x04, 0x05, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05}));
    EXPECT_EQ(slip_pending_count(), 0);
}

TEST_F(SlipLine, FrameSplitOverThreeReadsIsReturnedOnTheLast) {
    FeedPartial({0xC0, 0x10});
    FeedPartial({0x11, 0x12});
    pty_->Write({0x13, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x10, 0x11, 0x12, 0x13}));
}

TEST_F(SlipLine, EscapeCutAtReadBoundaryIsDecodedWhenTheRestArrives) {
    // The frame is decoded again from its start once the byte after the ESC has arrived.
    FeedPartial({0xC0, 0x41, 0xDB});
    pty_->Write({0xDC, 0x42, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x41, 0xC0, 0x42}));
}

TEST_F(SlipLine, TwoFramesInOneReadAreReturnedByTwoCallsWithoutAnotherRead) {
    const Bytes both = {0xC0, 0x01, 0x02, 0xC0, 0xC0, 0x03, 0x04, 0x05, 0xC0};
    pty_->Write(both);
    ASSERT_TRUE(pty_->WaitQueued(static_cast<int>(both.size())));
    uint8_t packet[SLIP_MAX_FRAME];
    ASSERT_EQ(slip_receive(packet), 2);
    EXPECT_EQ(Bytes(packet, packet + 2), (Bytes{0x01, 0x02}));
    EXPECT_EQ(pty_->Queued(), 0);
    ASSERT_EQ(slip_receive(packet), 3);
    EXPECT_EQ(Bytes(packet, packet + 3), (Bytes{0x03, 0x04, 0x05}));
    EXPECT_EQ(slip_receive(packet), 0);
}

TEST_F(SlipLine, GarbageWithoutEndBeforeAFrameIsPartOfThatFrame) {
    // Without a leading END the receiver cannot tell noise from data: the bytes join the frame
    // and the layer above rejects the packet.
    pty_->Write({0x99, 0x98, 0xC0, 0x41, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x99, 0x98}));
    EXPECT_EQ(Receive(), (Bytes{0x41}));
}

TEST_F(SlipLine, ModemResultTextBetweenFramesDoesNotCorruptTheNextFrame) {
    pty_->Write({'2', '\r', '1', '\r', 0xC0, 0x50, 0x51, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{'2', '\r', '1', '\r'}));
    EXPECT_EQ(Receive(), (Bytes{0x50, 0x51}));
}

TEST_F(SlipLine, PacketOf1006BytesIsReturnedWhole) {
    Bytes frame = {0xC0};
    for (int i = 0; i < 1006; ++i)
        frame.push_back(static_cast<uint8_t>(i & 0x7F));
    frame.push_back(0xC0);
    pty_->Write(frame);
    const Bytes got = Receive();
    ASSERT_EQ(got.size(), 1006u);
    EXPECT_EQ(got, Bytes(frame.begin() + 1, frame.end() - 1));
}

TEST_F(SlipLine, FrameOver1006BytesIsNeverReturnedAndIsDiscardedPastTheLimit) {
    Bytes big = {0xC0};
    big.insert(big.end(), 1007, 0x41);
    big.push_back(0xC0);
    pty_->Write(big);
    for (int i = 0; i < 200; ++i) {
        uint8_t packet[SLIP_MAX_FRAME];
        ASSERT_EQ(slip_receive(packet), 0);
        if (pty_->Queued() == 0 && slip_pending_count() == 1009)
            break;
        usleep(1000);
    }
    EXPECT_EQ(slip_pending_count(), 1009);
    // More data accumulates behind the runaway frame until the 2048-byte limit is passed;
    // then everything pending is dropped and the line starts clean.
    Bytes more(1040, 0x42);
    more.push_back(0xC0);
    FeedPartial(more);
    EXPECT_EQ(slip_pending_count(), 0);
    pty_->Write({0xC0, 0x61, 0xC0});
    EXPECT_EQ(Receive(), (Bytes{0x61}));
}

TEST_F(SlipLine, PendingBytesExactlyAtTheLimitAreKept) {
    // 2048 pending bytes are allowed; only passing the limit drops them.
    Bytes first = {0xC0};
    first.insert(first.end(), 1005, 0x41);
    FeedPartial(first);
    Bytes second(1042, 0x42);
    FeedPartial(second);
    EXPECT_EQ(slip_pending_count(), 2048);
    FeedPartial({0x43});
    EXPECT_EQ(slip_pending_count(), 0);
}

TEST(SlipAttach, AttachLogsComNumberAndBitRate) {
    const std::string dir = testing_support::MakeTempDir("attach");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    {
        PtyLine pty(3, dir);
        LogCapture log;
        const int line = slip_attach(3, 1152);
        EXPECT_EQ(line, 2);
        EXPECT_TRUE(log.Has("CSlip", "Attached slip driver : COM port (3). Baudrate (115200).",
                            LOG_INFORMATION));
        link_close(line);
    }
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
    slip_reset_for_tests();
}

TEST(SlipAttach, BaudCodeOutsideTheTableFailsWithTheNumbersFilledIn) {
    const std::string dir = testing_support::MakeTempDir("attach");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    {
        PtyLine pty(3, dir);
        LogCapture log;
        EXPECT_EQ(slip_attach(3, 100), -1);
        EXPECT_TRUE(log.Has(
            "CSlip", "Error attaching slip driver : COM port (3). Baudrate (10000).", LOG_ERROR));
    }
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
    slip_reset_for_tests();
}

TEST(SlipAttach, ComNumber256FailsTheDirectAttach) {
    LogCapture log;
    EXPECT_EQ(slip_attach(256, 96), -1);
    EXPECT_TRUE(log.Has("CSlip", "Error attaching slip driver : COM port (256). Baudrate (9600).",
                        LOG_ERROR));
    slip_reset_for_tests();
}

TEST(SlipAttach, PortThatDoesNotExistFailsWithTheErrorMessage) {
    const std::string dir = testing_support::MakeTempDir("attach");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    symlink((dir + "/nothing-here").c_str(), (dir + "/COM9").c_str());
    LogCapture log;
    EXPECT_EQ(slip_attach(9, 96), -1);
    EXPECT_TRUE(log.Has("CSlip", "Error attaching slip driver : COM port (9). Baudrate (9600).",
                        LOG_ERROR));
    uint8_t packet[SLIP_MAX_FRAME];
    EXPECT_EQ(slip_receive(packet), 0);
    EXPECT_EQ(slip_send(packet, 4), 0);
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
    slip_reset_for_tests();
}

} // namespace

namespace {

// Many packets, every byte value among them, cut into random pieces as a slow line delivers
// them: each must come out whole and in order, with nothing left over.
TEST_F(SlipLine, RandomlySplitStreamOfFramesComesOutPacketByPacket) {
    std::srand(20261206);
    std::vector<Bytes> packets;
    Bytes wire;
    for (int i = 0; i < 40; ++i) {
        Bytes p(1 + std::rand() % 300);
        for (auto& b : p)
            b = static_cast<uint8_t>(std::rand() % 4 == 0 ? (std::rand() % 2 ? 0xC0 : 0xDB)
                                                          : std::rand() % 256);
        packets.push_back(p);
        const Bytes f = testing_support::Frame(p);
        wire.insert(wire.end(), f.begin(), f.end());
    }
    std::vector<Bytes> got;
    uint8_t packet[SLIP_MAX_FRAME];
    size_t at = 0;
    while (at < wire.size()) {
        const size_t piece = std::min<size_t>(1 + std::rand() % 700, wire.size() - at);
        pty_->Write(Bytes(wire.begin() + at, wire.begin() + at + piece));
        at += piece;
        ASSERT_TRUE(pty_->WaitQueued(static_cast<int>(piece)));
        // Take everything that is complete before the next piece arrives.
        for (int n = slip_receive(packet); n > 0; n = slip_receive(packet))
            got.emplace_back(packet, packet + n);
        ASSERT_EQ(pty_->Queued(), 0);
    }
    ASSERT_EQ(got.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(got[i], packets[i]) << "packet " << i;
    EXPECT_EQ(slip_pending_count(), 0);
}

} // namespace
