// The fast loop's wait on a Windows COM handle: bytes from the far end and a raised wake-up each
// end it, a quiet line waits its time. Runs on the COM pair the Wine suite maps (ECGWIN_COM_PAIR);
// skipped without it. Time bounds are loose: "at once" against "seconds" only.
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/wakeup.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

class ComPairWait : public ::testing::Test {
protected:
    void SetUp() override {
        const char* pair = std::getenv("ECGWIN_COM_PAIR");
        if (pair == nullptr || std::sscanf(pair, "%u,%u", &a_, &b_) != 2)
            GTEST_SKIP() << "ECGWIN_COM_PAIR not set";
        near_ = platform::SerialOpen(a_, nullptr);
        far_ = platform::SerialOpen(b_, nullptr);
        ASSERT_NE(near_, nullptr);
        ASSERT_NE(far_, nullptr);
        ASSERT_EQ(platform::SerialConfigureDirect(near_, 115200), platform::SerialSetup::Ok);
        ASSERT_EQ(platform::SerialConfigureDirect(far_, 115200), platform::SerialSetup::Ok);
        wakeup_ = platform::WakeupCreate();
        ASSERT_NE(wakeup_, nullptr);
    }
    void TearDown() override {
        platform::WakeupDestroy(wakeup_);
        if (near_ != nullptr)
            platform::SerialClose(near_);
        if (far_ != nullptr)
            platform::SerialClose(far_);
    }
    unsigned a_ = 0, b_ = 0;
    platform::SerialPort* near_ = nullptr;
    platform::SerialPort* far_ = nullptr;
    platform::Wakeup* wakeup_ = nullptr;
};

TEST_F(ComPairWait, QuietLineWaitsOutItsTimeAndARaisedWakeupEndsTheWait) {
    uint32_t start = platform::TickCount();
    EXPECT_EQ(platform::SerialWaitReadable(near_, wakeup_, 150), platform::SerialWait::Timeout);
    EXPECT_GE(platform::TickCount() - start, 140u);
    platform::WakeupRaise(wakeup_);
    start = platform::TickCount();
    EXPECT_EQ(platform::SerialWaitReadable(near_, wakeup_, 10000), platform::SerialWait::Woken);
    EXPECT_LT(platform::TickCount() - start, 5000u);
    EXPECT_EQ(platform::SerialWaitReadable(near_, wakeup_, 20), platform::SerialWait::Timeout)
        << "the wake-up was consumed";
}

TEST_F(ComPairWait, BytesFromTheFarEndEndTheWaitAndStayUnread) {
    std::thread writer([this] {
        platform::SleepMs(50);
        const uint8_t bytes[3] = {0xC0, 0x11, 0xC0};
        platform::SerialWrite(far_, bytes, 3);
    });
    const uint32_t start = platform::TickCount();
    EXPECT_EQ(platform::SerialWaitReadable(near_, wakeup_, 10000), platform::SerialWait::Readable);
    EXPECT_LT(platform::TickCount() - start, 5000u);
    writer.join();
    uint8_t buffer[16];
    int got = 0;
    for (int i = 0; i < 100 && got < 3; ++i) {
        const int n = platform::SerialRead(near_, buffer + got, 16 - got);
        got += n > 0 ? n : 0;
        if (got < 3)
            platform::SleepMs(10);
    }
    EXPECT_EQ(got, 3);
}

} // namespace
