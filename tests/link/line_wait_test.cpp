// The fast loop's wait on a real pty: bytes on the line, a posted command (the queue's wake-up)
// and the time limit each end it; a frame already kept by SLIP ends it without the line; a line
// whose far end is gone waits out its time instead of spinning. Time bounds are loose on purpose:
// only "at once" against "seconds" is asserted, never a tight figure.
#include "csi/csi_queue.h"
#include "link/slip.h"
#include "link/test_support.h"
#include "link/v24.h"
#include "platform/serial.h"
#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using testing_support::Bytes;
using testing_support::PtyLine;

namespace {

constexpr int kCom = 9;

int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

class LineWait : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testing_support::MakeTempDir("wait");
        setenv("ECGCOMM_PORTS", dir_.c_str(), 1);
        pty_ = std::make_unique<PtyLine>(kCom, dir_);
        ASSERT_EQ(v24_open(kCom - 1, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 10,
                           V24_HANDSHAKE_NONE),
                  0);
    }
    void TearDown() override {
        v24_close(kCom - 1);
        if (thread_.joinable())
            thread_.join();
        pty_.reset();
        unsetenv("ECGCOMM_PORTS");
        testing_support::RemoveTree(dir_);
    }
    std::string dir_;
    std::unique_ptr<PtyLine> pty_;
    CCSIQueue queue_;
    std::thread thread_;
};

TEST_F(LineWait, BytesArrivingDuringTheWaitEndIt) {
    thread_ = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty_->Write({0xC0, 0x01});
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(v24_wait_readable(kCom - 1, 10000, queue_.CommandWakeup()), 1);
    EXPECT_LT(MsSince(start), 5000);
}

TEST_F(LineWait, PostedCommandEndsTheWaitOnceAndIsConsumed) {
    thread_ = std::thread([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        queue_.Append(CsiCommandRecord());
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(v24_wait_readable(kCom - 1, 10000, queue_.CommandWakeup()), 2);
    EXPECT_LT(MsSince(start), 5000);
    thread_.join();
    EXPECT_EQ(v24_wait_readable(kCom - 1, 30, queue_.CommandWakeup()), 0)
        << "one wake-up per post, not a signal that stays raised";
}

TEST_F(LineWait, SeveralPostsBeforeTheWaitCountAsOne) {
    for (int i = 0; i < 5; ++i)
        queue_.Append(CsiCommandRecord());
    EXPECT_EQ(v24_wait_readable(kCom - 1, 1000, queue_.CommandWakeup()), 2);
    EXPECT_EQ(v24_wait_readable(kCom - 1, 20, queue_.CommandWakeup()), 0);
    EXPECT_EQ(queue_.Size(), 5u) << "the wake-up never touches the records";
}

TEST_F(LineWait, QuietLineWaitsOutItsTime) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(v24_wait_readable(kCom - 1, 120, queue_.CommandWakeup()), 0);
    EXPECT_GE(MsSince(start), 110);
    EXPECT_EQ(v24_wait_readable(kCom - 1, 0, nullptr), 0) << "a zero wait only looks";
    EXPECT_EQ(v24_wait_readable(kCom, 0, nullptr), -1) << "a line that is not open";
}

TEST_F(LineWait, BytesAlreadyWaitingEndTheWaitAtOnceAndStayUnread) {
    pty_->Write({0x11, 0x13});
    ASSERT_TRUE(pty_->WaitQueued(2));
    EXPECT_EQ(v24_wait_readable(kCom - 1, 10000, nullptr), 1);
    EXPECT_EQ(pty_->Queued(), 2);
}

TEST(LineWaitHangUp, LineWhoseFarEndIsGoneWaitsOutItsTimeWithoutSpinning) {
    const std::string dir = testing_support::MakeTempDir("hup");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    {
        auto pty = std::make_unique<PtyLine>(kCom, dir);
        platform::SerialPort* port = platform::SerialOpen(kCom, nullptr);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(platform::SerialConfigureDirect(port, 9600), platform::SerialSetup::Ok);
        pty.reset(); // closes the master: the slave now reports a hang-up
        platform::Wakeup* wakeup = platform::WakeupCreate();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(platform::SerialWaitReadable(port, wakeup, 150), platform::SerialWait::Timeout);
        EXPECT_GE(MsSince(start), 140);
        platform::WakeupRaise(wakeup);
        EXPECT_EQ(platform::SerialWaitReadable(port, wakeup, 5000), platform::SerialWait::Woken)
            << "a posted command still gets through";
        platform::WakeupDestroy(wakeup);
        platform::SerialClose(port);
    }
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
}

class LinkWait : public testing_support::SlipPty {
protected:
    LinkWait() : SlipPty(kCom, 1152, "linkwait") {}
};

TEST_F(LinkWait, SecondFrameOfOneReadIsReportedWithoutTouchingTheLine) {
    Bytes wire = testing_support::Frame({1, 2, 3, 4});
    const Bytes second = testing_support::Frame({5, 6});
    wire.insert(wire.end(), second.begin(), second.end());
    pty_->Write(wire);
    ASSERT_TRUE(pty_->WaitQueued(static_cast<int>(wire.size())));
    uint8_t packet[SLIP_MAX_FRAME];
    ASSERT_EQ(slip_receive(packet), 4);
    ASSERT_EQ(pty_->Queued(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link_wait(10000, nullptr), 1);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(slip_receive(packet), 2);
}

TEST_F(LinkWait, HalfAFrameKeptWaitsForTheRestOnTheLine) {
    pty_->Write({0xC0, 1, 2});
    ASSERT_TRUE(pty_->WaitQueued(3));
    uint8_t packet[SLIP_MAX_FRAME];
    ASSERT_EQ(slip_receive(packet), 0);
    EXPECT_EQ(link_wait(60, nullptr), 0) << "an incomplete frame is nothing to receive yet";
    pty_->Write({3, 0xC0});
    EXPECT_EQ(link_wait(10000, nullptr), 1);
    EXPECT_EQ(slip_receive(packet), 3);
}

TEST_F(LinkWait, OversizedFrameKeptIsNothingToReceiveSoTheWaitSleeps) {
    // The runaway frame stays kept until the pending limit passes; while the line is quiet the
    // wait must not report it as a frame, or the task loop would spin.
    Bytes big = {0xC0};
    big.insert(big.end(), SLIP_MAX_FRAME + 1, 0x41);
    big.push_back(0xC0);
    pty_->Write(big);
    ASSERT_TRUE(pty_->WaitQueued(static_cast<int>(big.size())));
    uint8_t packet[SLIP_MAX_FRAME];
    ASSERT_EQ(slip_receive(packet), 0);
    ASSERT_EQ(slip_pending_count(), static_cast<int>(big.size()));
    EXPECT_EQ(link_wait(60, nullptr), 0);
}

TEST(LinkWaitDetached, WithoutALineOnlyAPostedCommandEndsTheWait) {
    slip_reset_for_tests();
    CCSIQueue queue;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link_wait(80, queue.CommandWakeup()), 0);
    EXPECT_GE(MsSince(start), 70);
    queue.Append(CsiCommandRecord());
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 2);
}

TEST(StatusAnnouncement, PosterWaitingForAStatusWakesWhenItIsAnnounced) {
    CCSIQueue queue;
    const uint64_t seen = queue.StatusCount();
    std::thread engine([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        queue.AnnounceStatus();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.WaitForStatus(seen, 10000), seen + 1);
    EXPECT_LT(MsSince(start), 5000);
    engine.join();
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(queue.WaitForStatus(seen + 1, 60), seen + 1) << "nothing new: the full time";
    EXPECT_GE(MsSince(again), 50);
}

} // namespace
