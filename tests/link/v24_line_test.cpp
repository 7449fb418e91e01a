// The COM line table and the line layer on a real pty: port mapping, the line settings the
// device sees, non-blocking reads, the deadline rule across the tick wrap, exclusive opening.
#include "link/line.h"
#include "link/test_support.h"
#include "link/v24.h"

#include <gtest/gtest.h>

using testing_support::Bytes;
using testing_support::PtyLine;

namespace {

// The kernel's termios2 view shows custom rates, which the C library's termios cannot; its
// header clashes with <termios.h>, so the layout is spelled out here.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};

KernelTermios2 LineSettings(int fd) {
    KernelTermios2 t{};
    ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t);
    return t;
}

class V24Pty : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testing_support::MakeTempDir("v24");
        setenv("ECGCOMM_PORTS", dir_.c_str(), 1);
        pty_ = std::make_unique<PtyLine>(3, dir_);
    }
    void TearDown() override {
        v24_close(2);
        v24_set_tick_source(nullptr);
        pty_.reset();
        unsetenv("ECGCOMM_PORTS");
        testing_support::RemoveTree(dir_);
    }
    std::string dir_;
    std::unique_ptr<PtyLine> pty_;
};

TEST_F(V24Pty, IndexTwoOpensTheEntryMappedAsCom3) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    const Bytes hello = {'h', 'i'};
    EXPECT_EQ(v24_write_block(2, 0, hello.data(), 2), 0);
    EXPECT_EQ(pty_->ReadWritten(), hello);
}

TEST_F(V24Pty, OpenLeavesTheLineRaw8N1WithoutFlowControl) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    const KernelTermios2 t = LineSettings(pty_->SlaveFd());
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_ospeed, 9600u);
}

TEST_F(V24Pty, RatesWithoutATermiosConstantAreSetAsCustomRates) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 8, 0), 0);
    EXPECT_EQ(LineSettings(pty_->SlaveFd()).c_ospeed, 56000u);
    v24_close(2);
    ASSERT_EQ(v24_open(2, 0, 1, 0, 11, 0), 0);
    EXPECT_EQ(LineSettings(pty_->SlaveFd()).c_ospeed, 128000u);
}

TEST_F(V24Pty, BaudIndexOutsideTheTableGives9600) {
    EXPECT_EQ(v24_bits_per_second(12), 9600u);
    EXPECT_EQ(v24_bits_per_second(-1), 9600u);
    ASSERT_EQ(v24_open(2, 0, 1, 0, 12, 0), 0);
    EXPECT_EQ(LineSettings(pty_->SlaveFd()).c_ospeed, 9600u);
}

TEST_F(V24Pty, ReadWithZeroTimeoutReturnsAtOnceWithWhatIsWaiting) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    uint8_t buf[2100];
    int got = -1;
    EXPECT_EQ(v24_read_block(2, 0, 1006, buf, &got), -2);
    EXPECT_EQ(got, 0);

    Bytes forty(40);
    for (int i = 0; i < 40; ++i)
        forty[i] = static_cast<uint8_t>(i);
    pty_->Write(forty);
    ASSERT_TRUE(pty_->WaitQueued(40));
    EXPECT_EQ(v24_read_block(2, 0, 1006, buf, &got), -2);
    ASSERT_EQ(got, 40);
    EXPECT_EQ(Bytes(buf, buf + 40), forty);
}

TEST_F(V24Pty, ReadNeverReturnsMoreThanTheCount) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    pty_->Write(Bytes(2000, 0x55));
    ASSERT_TRUE(pty_->WaitQueued(2000));
    uint8_t buf[2100];
    int got = -1;
    EXPECT_EQ(v24_read_block(2, 0, 1006, buf, &got), -2);
    EXPECT_EQ(got, 1006);
    EXPECT_EQ(pty_->Queued(), 994);
}

TEST_F(V24Pty, ReadWithoutBytesReadPointerFailsAndReadsNothing) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    pty_->Write({1, 2, 3});
    ASSERT_TRUE(pty_->WaitQueued(3));
    uint8_t buf[8];
    EXPECT_EQ(v24_read_block(2, 0, 8, buf, nullptr), -1);
    EXPECT_EQ(pty_->Queued(), 3);
}

uint32_t g_ticks[8];
int g_tickCalls = 0;
uint32_t ScriptedTick() {
    return g_ticks[g_tickCalls < 7 ? g_tickCalls++ : 7];
}

TEST_F(V24Pty, DeadlineAcrossTheTickWrapIsHonoured) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    // start 0xFFFFFFF0 with 0x20 ms: the deadline wraps to 0x10. Ticks after the wrap but
    // before 0x10 are not late; 0x10 is.
    const uint32_t script[8] = {0xFFFFFFF0u, 0xFFFFFFFFu, 0x00000005u, 0x0000000Fu,
                                0x00000010u, 0x10u,       0x10u,       0x10u};
    std::copy(script, script + 8, g_ticks);
    g_tickCalls = 0;
    v24_set_tick_source(ScriptedTick);
    uint8_t buf[4];
    int got = -1;
    EXPECT_EQ(v24_read_block(2, 0x20, 4, buf, &got), -2);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(g_tickCalls, 5); // start, then one test per read until 0x10
}

TEST_F(V24Pty, CountCompletedAfterTheDeadlineStillReportsTimeOut) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    pty_->Write({9, 8});
    ASSERT_TRUE(pty_->WaitQueued(2));
    const uint32_t script[8] = {100, 200, 200, 200, 200, 200, 200, 200};
    std::copy(script, script + 8, g_ticks);
    g_tickCalls = 0;
    v24_set_tick_source(ScriptedTick);
    uint8_t buf[2];
    int got = -1;
    EXPECT_EQ(v24_read_block(2, 50, 2, buf, &got), -2);
    EXPECT_EQ(got, 2);
}

TEST_F(V24Pty, ReadWithTimeoutCollectsTheCountWhenItArrivesInTime) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    pty_->Write({1, 2, 3, 4});
    uint8_t buf[4];
    int got = -1;
    EXPECT_EQ(v24_read_block(2, 5000, 4, buf, &got), 0);
    EXPECT_EQ(got, 4);
}

TEST_F(V24Pty, SecondOpenOfAnOpenPortFails) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    // Another line index mapped to the same tty stands for a second process on the port.
    symlink(pty_->SlavePath().c_str(), (dir_ + "/COM4").c_str());
    EXPECT_EQ(v24_open(3, 0, 1, 0, 5, 0), -1);
    EXPECT_EQ(v24_close(3), -1);
    ASSERT_EQ(v24_close(2), 0);
    EXPECT_EQ(v24_open(3, 0, 1, 0, 5, 0), 0);
    EXPECT_EQ(v24_close(3), 0);
}

TEST_F(V24Pty, CloseDiscardsWhatTheDeviceSentAndMarksTheLineClosed) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    pty_->Write({1, 2, 3});
    ASSERT_TRUE(pty_->WaitQueued(3));
    EXPECT_EQ(v24_close(2), 0);
    EXPECT_EQ(pty_->Queued(), 0);
    EXPECT_EQ(v24_close(2), -1);
    const uint8_t b = 1;
    EXPECT_EQ(v24_write_block(2, 0, &b, 1), -1);
}

TEST(V24, PortThatDoesNotExistFailsAndStaysClosed) {
    const std::string dir = testing_support::MakeTempDir("v24");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    symlink("/dev/null-not-there", (dir + "/COM6").c_str());
    EXPECT_EQ(v24_open(5, 0, 1, 0, 5, 0), -1);
    EXPECT_EQ(v24_close(5), -1);
    // A file that is not a tty is no port either.
    symlink("/dev/null", (dir + "/COM7").c_str());
    EXPECT_EQ(v24_open(6, 0, 1, 0, 5, 0), -1);
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
}

TEST(V24, IndicesOutsideTheTableAreRefused) {
    uint8_t buf[4];
    int got = 0;
    EXPECT_EQ(v24_open(255, 0, 1, 0, 5, 0), -1);
    EXPECT_EQ(v24_close(255), -1);
    EXPECT_EQ(v24_close(-1), -1);
    EXPECT_EQ(v24_read_block(255, 0, 4, buf, &got), -1);
}

TEST(Line, OpenNeedsAComNumberInRangeAndReadOrWrite) {
    const std::string dir = testing_support::MakeTempDir("line");
    setenv("ECGCOMM_PORTS", dir.c_str(), 1);
    {
        PtyLine pty(5, dir);
        EXPECT_EQ(line_open(0, 96, 8, 0, 1, "erw"), -1);
        EXPECT_EQ(line_open(256, 96, 8, 0, 1, "erw"), -1);
        EXPECT_EQ(line_open(5, 96, 8, 0, 1, "e"), -1);
        EXPECT_EQ(line_open(5, 100, 8, 0, 1, "erw"), -1);
        // A write-only line cannot be read.
        ASSERT_EQ(line_open(5, 96, 8, 0, 1, "ew"), 4);
        uint8_t buf[4];
        int got = 0;
        EXPECT_EQ(line_read(4, buf, 4, 0, &got), -1);
        EXPECT_EQ(line_close(4), 0);
        ASSERT_EQ(line_open(5, 96, 8, 0, 1, "erw"), 4);
        EXPECT_EQ(line_read(4, buf, 4, 0, &got), -2);
        EXPECT_EQ(line_close(4), 0);
        EXPECT_EQ(line_read(4, buf, 4, 0, &got), -1);
        EXPECT_EQ(line_close(255), -1);
    }
    unsetenv("ECGCOMM_PORTS");
    testing_support::RemoveTree(dir);
}

} // namespace
