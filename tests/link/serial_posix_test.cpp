// The serial port, the COM line table and the line layer on real ptys.
#include "csi/csi_queue.h"
#include "link/line.h"
#include "link/slip.h"
#include "link/v24.h"
#include "platform/serial.h"
#include "platform/wakeup.h"
#include "support/slip_wire.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

// The code under test opens the slave as COM3 of $ECGCOMM_PORTS; kept open here too (no EIO).
class Pty {
public:
    explicit Pty(bool cooked = false) {
        setenv("ECGCOMM_PORTS", ports.Path().c_str(), 1);
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m_master), unlockpt(m_master);
        slavePath = ptsname(m_master);
        m_slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(m_slave, &t);
        if (cooked) // as a real /dev/ttyS starts
            t.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP, t.c_oflag |= OPOST | ONLCR,
                t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
        else
            cfmakeraw(&t);
        tcsetattr(m_slave, TCSANOW, &t);
        symlink(slavePath.c_str(), (ports / "COM3").c_str());
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty() { Close(), unsetenv("ECGCOMM_PORTS"); }
    void Close() {
        if (m_master >= 0)
            close(m_slave), close(m_master);
        m_master = -1;
    }
    void Write(const Bytes& b) const {
        ASSERT_EQ(write(m_master, b.data(), b.size()), ssize_t(b.size()));
    }
    int Queued() const {
        int queued = 0;
        return ioctl(m_slave, FIONREAD, &queued), queued;
    }
    // Waits until the code under test can read exactly `count` bytes in one read.
    bool WaitQueued(int count) const {
        for (int waited = 0; waited < 3000 && Queued() < count; ++waited)
            poll(nullptr, 0, 1);
        return Queued() == count;
    }
    // Everything the code under test wrote, until the line stayed quiet for 100 ms.
    Bytes Written() const {
        Bytes out;
        uint8_t buf[4096];
        pollfd p{m_master, POLLIN, 0};
        for (ssize_t n; poll(&p, 1, 100) > 0 && (n = read(m_master, buf, sizeof buf)) > 0;)
            out.insert(out.end(), buf, buf + n);
        return out;
    }
    // The kernel's termios2 of the line (its header clashes with <termios.h>): custom rates.
    struct Termios2 {
        tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
        cc_t c_line, c_cc[19];
        speed_t c_ispeed, c_ospeed;
    };
    Termios2 Settings() const {
        Termios2 t{};
        return ioctl(m_slave, _IOR('T', 0x2A, Termios2), &t), t;
    }
    TempDir ports;
    std::string slavePath;

private:
    int m_master = -1, m_slave = -1;
};

class CookedLine : public ::testing::TestWithParam<bool> {};

TEST_P(CookedLine, EndsUpRaw8N1AndPassesEveryAwkwardByteBothWays) {
    const bool modem = GetParam(); // else the direct line through the line table
    Pty pty(/*cooked=*/true);
    platform::UniqueSerialPort owned = modem ? platform::SerialOpen(3, nullptr) : nullptr;
    platform::SerialPort* port = owned.get();
    if (modem)
        ASSERT_EQ(platform::SerialConfigureModem(port, 19200), platform::SerialSetup::Ok);
    else
        ASSERT_EQ(v24_open(2, V24_PARITY_NONE, V24_DATA_BITS_8, V24_STOP_BITS_1, 6, 0), 0);
    const auto t = pty.Settings();
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK), 0u);
    EXPECT_EQ((t.c_oflag & OPOST) | (t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)), 0u);
    EXPECT_EQ(t.c_ospeed, 19200u);
    EXPECT_EQ((t.c_cflag & HUPCL) != 0, modem) << "closing drops DTR only on the modem port";
    const Bytes awkward = {0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xC0, 0xDB, 0x03, 0x1C, 0xFF, 0x00};
    pty.Write(awkward);
    ASSERT_TRUE(pty.WaitQueued(11)) << "nothing eaten or added";
    uint8_t in[64] = {};
    int n = 0;
    if (modem)
        n = platform::SerialRead(port, in, 64);
    else
        EXPECT_EQ(v24_read_block(2, 0, 64, in, &n), -2);
    EXPECT_EQ(Bytes(in, in + n), awkward);
    EXPECT_TRUE(modem ? platform::SerialWrite(port, awkward.data(), 11)
                      : v24_write_block(2, 0, awkward.data(), 11) == 0);
    EXPECT_EQ(pty.Written(), awkward) << "no echo, no CR/LF translation";
    modem ? (void)platform::SerialClose(std::move(owned)) : (void)v24_close(2);
}

INSTANTIATE_TEST_SUITE_P(DirectAndModem, CookedLine, ::testing::Bool());

class Line : public ::testing::Test {
protected:
    void TearDown() override {
        v24_close(2), v24_close(3);
        v24_set_tick_source(nullptr);
    }
    // Attaches SLIP to the pty and receives one frame of n bytes, the length later frames are
    // expected to have (n = 1000: 87 ms on the line at 115,200 bit/s).
    void AttachAndReceive(int n) {
        ASSERT_EQ(slip_attach(3, 1152), 2);
        pty.Write(Frame(Bytes(n, 0x11)));
        ASSERT_TRUE(pty.WaitQueued(n + 2));
        ASSERT_EQ(slip_receive(packet), n);
    }
    Pty pty;
    uint8_t buf[2100] = {};
    uint8_t packet[SLIP_MAX_FRAME] = {};
    int got = 0;
};

TEST_F(Line, RatesReadsAndTheCountAskedFor) {
    for (const auto& [index, rate] : std::vector<std::pair<int, uint32_t>>{
             {8, 56000}, {11, 128000}, {10, 115200}, {12, 9600}, {-1, 9600}}) {
        ASSERT_EQ(v24_open(2, 0, 1, 0, index, 0), 0);
        EXPECT_EQ(pty.Settings().c_ospeed, rate) << index;
        EXPECT_EQ(v24_bits_per_second(index), rate);
        v24_close(2);
    }
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    EXPECT_EQ(v24_read_block(2, 0, 1006, buf, &got) + v24_read_block(2, 0, 8, buf, nullptr), -3);
    EXPECT_EQ(got, 0) << "an idle line returns at once with nothing";
    pty.Write(Bytes(2000, 0x55));
    ASSERT_TRUE(pty.WaitQueued(2000));
    EXPECT_EQ(v24_read_block(2, 0, 1006, buf, &got), -2);
    EXPECT_EQ(got, 1006) << "never more than asked";
    EXPECT_EQ(v24_read_block(2, 5000, 994, buf, &got), 0) << "the whole count in time";
    EXPECT_EQ(got, 994);
}

uint32_t g_ticks[8];
int g_tickCalls = 0;
uint32_t ScriptedTick() {
    return g_ticks[g_tickCalls < 7 ? g_tickCalls++ : 7];
}

TEST_F(Line, DeadlineIsHonouredAcrossTheTickWrapAndBeatsACompleteCount) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    v24_set_tick_source(ScriptedTick);
    // Start 0xFFFFFFF0 with 0x20 ms: the deadline wraps to 0x10; ticks before it are not late.
    const uint32_t wrap[8] = {0xFFFFFFF0u, 0xFFFFFFFFu, 0, 0xF, 0x10, 0x10, 0x10, 0x10};
    std::copy(wrap, wrap + 8, g_ticks);
    g_tickCalls = 0;
    EXPECT_EQ(v24_read_block(2, 0x20, 4, buf, &got), -2);
    EXPECT_EQ(g_tickCalls, 5) << "start, then one look per read until 0x10";
    pty.Write({9, 8});
    ASSERT_TRUE(pty.WaitQueued(2));
    const uint32_t late[8] = {100, 200, 200, 200, 200, 200, 200, 200};
    std::copy(late, late + 8, g_ticks);
    g_tickCalls = 0;
    EXPECT_EQ(v24_read_block(2, 50, 2, buf, &got), -2) << "the count came, but too late";
    EXPECT_EQ(got, 2);
}

TEST_F(Line, PortsAreExclusiveClosingDiscardsInputAndBadLinesAreRefused) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    symlink(pty.slavePath.c_str(), (pty.ports / "COM4").c_str()); // a second opener
    EXPECT_EQ(v24_open(3, 0, 1, 0, 5, 0), -1);
    pty.Write({1, 2, 3});
    ASSERT_TRUE(pty.WaitQueued(3));
    EXPECT_EQ(v24_close(2), 0);
    EXPECT_EQ(pty.Queued(), 0);
    EXPECT_EQ(v24_close(2) + v24_write_block(2, 0, buf, 1), -2);
    EXPECT_EQ(v24_open(3, 0, 1, 0, 5, 0), 0) << "free again";
    symlink("/dev/null", (pty.ports / "COM7").c_str());
    symlink((pty.ports / "gone").c_str(), (pty.ports / "COM8").c_str());
    EXPECT_EQ(v24_open(6, 0, 1, 0, 5, 0) + v24_open(7, 0, 1, 0, 5, 0), -2) << "no tty, none";
    uint32_t error = 0;
    EXPECT_TRUE(platform::SerialOpen(8, &error) == nullptr && error == ENOENT);
    EXPECT_EQ(v24_open(-1, 0, 1, 0, 5, 0) + v24_close(255) + line_close(-1), -3);
    // The line layer: a COM number, a known baud code and read or write are needed.
    EXPECT_EQ(line_open(0, 96, 8, 0, 1, "erw") + line_open(256, 96, 8, 0, 1, "erw") +
                  line_open(3, 96, 8, 0, 1, "e") + line_open(3, 100, 8, 0, 1, "erw"),
              -4);
    v24_close(3);
    ASSERT_EQ(line_open(3, 96, 8, 0, 1, "ew"), 2);
    EXPECT_EQ(line_read(2, buf, 4, 0, &got), -1) << "write-only";
    EXPECT_EQ(line_close(2), 0);
    for (const auto& [code, rate] : {std::pair<int, uint32_t>{3, 300},
                                     {48, 4800},
                                     {192, 19200},
                                     {384, 38400},
                                     {560, 56000},
                                     {1152, 115200},
                                     {1280, 128000}}) {
        ASSERT_EQ(line_open(3, code, 8, 0, 1, "erw"), 2) << "the first and last codes";
        EXPECT_EQ(pty.Settings().c_ospeed, rate);
        EXPECT_EQ(line_close(2), 0);
    }
    EXPECT_EQ(line_read(2, buf, 4, 0, &got), -1);
    LogCapture log; // the attach of a port that cannot be opened fails with its message
    EXPECT_EQ(slip_attach(9, 96), -1);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{
                               "Error attaching slip driver : COM port (9). Baudrate (9600)."});
    EXPECT_EQ(slip_send(buf, 4) + slip_receive(buf), 0);
    slip_reset_for_tests();
}

TEST_F(Line, WaitEndsOnBytesOrAPostedCommandAndOtherwiseLastsItsTime) {
    ASSERT_EQ(v24_open(2, 0, 1, 0, 5, 0), 0);
    CCSIQueue queue;
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Write({0xC0, 0x01});
    });
    auto start = Clock::now();
    EXPECT_EQ(v24_wait_readable(2, 10000, queue.CommandWakeup()), 1);
    EXPECT_LT(MsSince(start), 5000);
    device.join();
    ASSERT_TRUE(pty.WaitQueued(2));
    EXPECT_EQ(v24_wait_readable(2, 10000, nullptr), 1) << "waiting bytes end it at once";
    EXPECT_EQ(pty.Queued(), 2) << "and stay unread";
    v24_read_block(2, 0, 8, buf, &got);
    for (int i = 0; i < 5; ++i)
        queue.Append(CsiCommandRecord());
    EXPECT_EQ(v24_wait_readable(2, 10000, queue.CommandWakeup()), 2);
    start = Clock::now();
    EXPECT_EQ(v24_wait_readable(2, 120, queue.CommandWakeup()), 0) << "five posts wake once";
    EXPECT_GE(MsSince(start), 110);
    EXPECT_EQ(queue.Size(), 5u) << "the wake-up never touches the records";
    EXPECT_EQ(v24_wait_readable(4, 0, nullptr), -1) << "a line that is not open";
    slip_reset_for_tests();
    start = Clock::now();
    EXPECT_EQ(link_wait(80, queue.CommandWakeup()), 0) << "nothing attached: only a command";
    EXPECT_GE(MsSince(start), 70);
    queue.Append(CsiCommandRecord());
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 2);
}

// Once a frame is under way the wait sleeps through the rest of it, though its bytes arrive
// meanwhile, so that the fast loop wakes once per frame; a posted command still ends the sleep.
TEST_F(Line, WaitSleepsThroughTheRestOfAFrameButNotThroughACommand) {
    AttachAndReceive(1000);
    // The next frame's opening END alone, then its first bytes kept: each wait sleeps for the
    // rest of a frame as long as the last, although more bytes are waiting on the line.
    const Bytes parts[] = {{0xC0}, {0x60, 1}, {2, 3}};
    pty.Write(parts[0]);
    ASSERT_TRUE(pty.WaitQueued(1));
    CCSIQueue queue;
    for (int i = 1; i < 3; ++i) {
        ASSERT_EQ(slip_receive(packet), 0);
        pty.Write(parts[i]);
        ASSERT_TRUE(pty.WaitQueued(2));
        const auto start = Clock::now();
        EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1) << "part " << i;
        EXPECT_GE(MsSince(start), 75);
    }
    queue.Append(CsiCommandRecord());
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 2);
    slip_reset_for_tests();
}

// After a send, the answer's first byte does not wake the wait: the answer cannot be complete
// before what was sent has gone out and a frame as long as the last one has come.
TEST_F(Line, WaitSleepsUntilAWholeAnswerCanHaveCome) {
    AttachAndReceive(1000);
    const Bytes answer(40, 0x22);
    ASSERT_EQ(slip_send(answer.data(), static_cast<int>(answer.size())), 1); // 42 bytes: 4 ms
    pty.Write({0xC0, 0x45});
    ASSERT_TRUE(pty.WaitQueued(2));
    CCSIQueue queue;
    const auto start = Clock::now();
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1);
    EXPECT_GE(MsSince(start), 85);
    EXPECT_EQ(slip_receive(packet), 0);
    EXPECT_GT(slip_answer_lag_us(), 0u) << "an answer still coming when due teaches a delay";
    slip_reset_for_tests();
    // An answer not there when due is waited for on the line; that it came later teaches too.
    AttachAndReceive(100);
    ASSERT_EQ(slip_send(answer.data(), static_cast<int>(answer.size())), 1);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pty.Write(Frame(Bytes(100, 0x33)));
    });
    const auto sent = Clock::now();
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1) << "when due, read without a look";
    EXPECT_LT(MsSince(sent), 250);
    EXPECT_EQ(slip_receive(packet), 0);
    EXPECT_EQ(link_wait(10000, queue.CommandWakeup()), 1);
    device.join();
    ASSERT_TRUE(pty.WaitQueued(102));
    EXPECT_EQ(slip_receive(packet), 100);
    EXPECT_GT(slip_answer_lag_us(), 0u);
    const auto quiet = Clock::now();
    EXPECT_EQ(link_wait(150, queue.CommandWakeup()), 0);
    EXPECT_LT(MsSince(quiet), 280) << "a quiet line ends the wait once, at its time";
    slip_reset_for_tests();
}

TEST_F(Line, ModemReadsPaceTheLoopAndAHungUpLineWaitsWithoutSpinning) {
    platform::UniqueSerialPort owned = platform::SerialOpen(3, nullptr);
    platform::SerialPort* port = owned.get();
    ASSERT_EQ(platform::SerialConfigureModem(port, 9600), platform::SerialSetup::Ok);
    auto start = Clock::now();
    EXPECT_EQ(platform::SerialRead(port, buf, 1006), 0);
    EXPECT_GE(MsSince(start), 1000) << "an idle 1006-byte read blocks about a second";
    pty.Write({'0', '\r'});
    start = Clock::now();
    EXPECT_EQ(platform::SerialRead(port, buf, 1006), 2) << "data ends it once the line is quiet";
    EXPECT_LT(MsSince(start), 900);
    const platform::UniqueWakeup signal = platform::WakeupCreate();
    platform::Wakeup* wakeup = signal.get();
    pty.Close(); // the far end is gone: the port reports a hang-up for ever
    start = Clock::now();
    EXPECT_EQ(platform::SerialWaitReadable(port, wakeup, 150), platform::SerialWait::Timeout);
    EXPECT_GE(MsSince(start), 140);
    EXPECT_EQ(platform::SerialRead(port, buf, 100), 0);
    EXPECT_GE(MsSince(start), 240) << "a dead modem port's read sleeps out its time too";
    platform::WakeupRaise(wakeup);
    EXPECT_EQ(platform::SerialWaitReadable(port, wakeup, 5000), platform::SerialWait::Woken);
    start = Clock::now();
    EXPECT_EQ(platform::SerialWaitReadable(nullptr, wakeup, 80), platform::SerialWait::Timeout);
    EXPECT_GE(MsSince(start), 70);
    platform::SerialClose(std::move(owned));
}

} // namespace
