// How long the fast loop may sleep through the rest of a frame, from the bytes kept so far; and
// on a pty, that bytes arriving meanwhile do not end that sleep while a posted command does.
#include "csi/csi_queue.h"
#include "link/slip.h"
#include "link/test_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using testing_support::Bytes;

// The rest of the frame in microseconds, given the kept bytes, the line's rate and the length of
// the last packet.
struct RestRow {
    const char* what;
    Bytes kept;
    uint32_t bps;
    int last;
    uint64_t us;
};

// An opening END and the first `have` bytes of an IPv4 packet that states `stated` bytes.
Bytes Head(int stated, size_t have) {
    Bytes b = {0xC0, 0x45, 0, static_cast<uint8_t>(stated >> 8), static_cast<uint8_t>(stated)};
    b.resize(have + 1, 0x11);
    return b;
}

// Ten bits a byte (8N1); one byte in 128 is reckoned escaped, and the closing END comes last.
constexpr uint64_t Us(uint64_t bytes, uint64_t bps) {
    return bytes * 10000000ull / bps;
}

const RestRow kRows[] = {
    {"nothing kept", {}, 115200, 0, 0},
    {"an opening END: the shortest datagram", {0xC0}, 115200, 0, Us(28 + 1, 115200)},
    {"an opening END: as long as the last", {0xC0, 0xC0}, 9600, 166, Us(166 + 1 + 1, 9600)},
    {"the header's length, not the last", Head(166, 6), 9600, 40, Us(160 + 1 + 1, 9600)},
    {"escaped length byte 0xC0", {0x45, 0, 0, 0xDB, 0xDC, 0x11}, 9600, 0, Us(187 + 1 + 1, 9600)},
    {"an escape cut at the end is not counted", {0x45, 0, 0, 40, 0xDB}, 9600, 0, Us(36 + 1, 9600)},
    {"not IPv4: the last length stands", {0x60, 0, 0x01, 0}, 9600, 100, Us(96 + 1, 9600)},
    {"stated beyond a frame: 1006 at most", Head(0xFFFF, 4), 115200, 0, Us(1002 + 7 + 1, 115200)},
    {"stated below the shortest datagram", Head(5, 8), 9600, 0, Us(20 + 1, 9600)},
    {"all there but the closing END", Head(40, 40), 9600, 300, Us(1, 9600)},
    {"an ended, oversized frame is no frame", {0xC0, 0x45, 0x41, 0xC0, 0x45}, 9600, 0, 0},
};

TEST(FrameRest, FromTheKeptBytes) {
    for (const RestRow& r : kRows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(slip_frame_rest_us(r.kept.data(), static_cast<int>(r.kept.size()), r.bps, r.last),
                  r.us);
    }
}

class FrameRestOnPty : public testing_support::SlipPty {
protected:
    FrameRestOnPty() : SlipPty(11, 1152, "rest") {}
};

TEST_F(FrameRestOnPty, BytesOfTheFrameDoNotEndTheSleepButACommandDoes) {
    pty_->Write(Head(1000, 4)); // 87 ms at 115,200 bit/s
    ASSERT_TRUE(pty_->WaitQueued(5));
    uint8_t packet[SLIP_MAX_FRAME];
    ASSERT_EQ(slip_receive(packet), 0);
    pty_->Write({1, 2, 3});
    ASSERT_TRUE(pty_->WaitQueued(3));
    CCSIQueue queue;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(75));
    queue.Append(CsiCommandRecord());
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 2);
}

} // namespace
