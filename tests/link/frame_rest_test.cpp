// How long the fast loop may sleep through the rest of a frame, from the bytes kept so far; and
// on a pty, that bytes arriving meanwhile do not end that sleep while a posted command does.
#include "csi/csi_queue.h"
#include "link/slip.h"
#include "link/test_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using testing_support::Bytes;

// An opening END and the first `have` bytes of an IPv4 packet that states `stated` bytes.
Bytes Head(int stated, size_t have) {
    Bytes b = {0xC0, 0x45, 0, static_cast<uint8_t>(stated >> 8), static_cast<uint8_t>(stated)};
    b.resize(have + 1, 0x11);
    return b;
}

// n bytes at 9,600 bit/s, ten bits each; one in 128 is reckoned escaped, then the closing END.
constexpr auto Us = [](uint64_t n) { return n * 10000000 / 9600; };

struct RestRow {
    const char* what;
    Bytes kept;
    int last; // length of the last packet received
    uint64_t us;
} const kRows[] = {
    {"an opening END: the shortest datagram", {0xC0}, 0, Us(28 + 1)},
    {"an opening END: as long as the last", {0xC0, 0xC0}, 166, Us(166 + 1 + 1)},
    {"the header's length, not the last", Head(166, 6), 40, Us(160 + 1 + 1)},
    {"escaped length byte 0xC0", {0x45, 0, 0, 0xDB, 0xDC, 0x11}, 0, Us(187 + 1 + 1)},
    {"not IPv4: the last length stands", {0x60, 0, 0x01, 0}, 100, Us(96 + 1)},
    {"stated beyond a frame: 1006 at most", Head(0xFFFF, 4), 0, Us(1002 + 7 + 1)},
    {"stated below the shortest datagram", Head(5, 8), 0, Us(20 + 1)},
    {"all there but the closing END", Head(40, 40), 300, Us(1)},
    {"an ended, oversized frame is no frame", {0xC0, 0x45, 0x41, 0xC0, 0x45}, 0, 0},
    {"nothing kept", {}, 100, 0},
};

TEST(FrameRest, FromTheKeptBytes) {
    for (const RestRow& r : kRows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(slip_frame_rest_us(r.kept.data(), static_cast<int>(r.kept.size()), 9600, r.last),
                  r.us);
    }
    // An escape at the end waits for its byte: nothing beyond the kept bytes is looked at.
    const Bytes cut = {0x45, 0, 0, 40, 0xDB, 0xDC};
    EXPECT_EQ(slip_frame_rest_us(cut.data(), 5, 9600, 0), Us(36 + 1));
    EXPECT_EQ(slip_frame_rest_us(cut.data(), 5, 0, 0), 0u) << "a line without a rate";
}

class FrameRestOnPty : public testing_support::SlipPty {
protected:
    FrameRestOnPty() : SlipPty(11, 1152, "rest") {}
};

TEST_F(FrameRestOnPty, BytesOfAFrameUnderWayDoNotEndTheSleepButACommandDoes) {
    uint8_t packet[SLIP_MAX_FRAME];
    pty_->Write(testing_support::Frame(Bytes(1000, 0x11))); // 87 ms on the line at 115,200
    ASSERT_TRUE(pty_->WaitQueued(1002));
    ASSERT_EQ(slip_receive(packet), 1000);
    // The next frame's opening END alone, then its first bytes kept: each wait sleeps for the
    // rest of a frame as long as the last, although more bytes are waiting on the line.
    const Bytes parts[] = {{0xC0}, {0x60, 1}, {2, 3}};
    pty_->Write(parts[0]);
    ASSERT_TRUE(pty_->WaitQueued(1));
    CCSIQueue queue;
    for (int i = 1; i < 3; ++i) {
        ASSERT_EQ(slip_receive(packet), 0);
        pty_->Write(parts[i]);
        ASSERT_TRUE(pty_->WaitQueued(2));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1) << "part " << i;
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(75));
    }
    queue.Append(CsiCommandRecord());
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 2);
}

} // namespace
