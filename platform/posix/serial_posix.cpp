// Linux serial port: termios through the termios2 interface, so that rates without a Bnnn
// constant (56000, 128000) can be set as custom rates.
//
// Port mapping: COM number n opens /dev/ttyS<n-1>, unless the directory named by the
// environment variable ECGCOMM_PORTS holds an entry COM<n> (a symlink to any tty: /dev/ttyUSB0,
// a pty slave, ...); that entry is then opened. Tests and technicians map ports that way.
//
// Behaviour kept from the Windows original:
// - raw 8N1 in both directions, no software or hardware flow control, no parity marking and no
//   CR/LF translation: 0x0a 0x0d 0x11 0x13 0xff must pass unchanged;
// - direct line: a read returns at once with what is queued; a write call's count is not
//   checked, and only when the queue is full does it wait at most 100 ms for room and try again;
// - modem port: a read waits at most count+1 ms for the first byte and returns once the line
//   has been quiet for a few character times after data;
// - exclusive open (TIOCEXCL and an flock), both queues discarded at open and at close.
// DTR/RTS changes are best effort: ptys refuse the modem-control ioctls. HUPCL is cleared on the
// direct line (DTR stays off anyway) and set on the modem port, so that closing it drops DTR as
// closing a COM handle does on Windows.
// This file must never block the caller longer than the time-outs above.
#include "platform/serial.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "platform/clock.h"
#include "platform/posix/unique_fd.h"
#include "platform/wakeup.h"

namespace platform {

struct SerialPort {
    UniqueFd fd;
    bool modem = false;
    uint32_t bitsPerSecond = 9600;

    ~SerialPort() { (void)Close(); }
    // False when closing failed. The exclusive flag outlives this descriptor when someone else
    // keeps the tty open (a relay holding a pty slave): clear it, or the next open of the port
    // would be refused.
    bool Close() {
        if (fd.IsValid())
            (void)ioctl(fd.Get(), TIOCNXCL);
        return fd.Close();
    }
};

namespace {

constexpr int kDirectWriteLimitMs = 100;

speed_t StandardSpeed(uint32_t bps) {
    switch (bps) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return 0;
    }
}

void SetRate(termios2& t, uint32_t bps) {
    const speed_t standard = StandardSpeed(bps);
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    if (standard != 0) {
        t.c_cflag |= standard;
    } else {
        t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    }
    t.c_ispeed = bps;
    t.c_ospeed = bps;
}

uint32_t CurrentRate(const termios2& t) {
    if ((t.c_cflag & CBAUD) == BOTHER)
        return t.c_ospeed;
    static const uint32_t rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (uint32_t r : rates)
        if ((t.c_cflag & CBAUD) == StandardSpeed(r))
            return r;
    return 9600;
}

void MakeRaw(termios2& t) {
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_iflag |= IGNPAR;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

void SetModemLines(int fd, bool on) {
    int bits = TIOCM_DTR | TIOCM_RTS;
    // Ptys refuse this; the line still works, so the result is deliberately ignored.
    (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

SerialSetup Configure(SerialPort* port, uint32_t bps, bool modem) {
    termios2 t{};
    if (ioctl(port->fd.Get(), TCGETS2, &t) != 0)
        return SerialSetup::ReadSettingsFailed;
    MakeRaw(t);
    if (modem)
        t.c_cflag |= HUPCL;
    else
        t.c_cflag &= ~HUPCL;
    if (bps != 0)
        SetRate(t, bps);
    if (ioctl(port->fd.Get(), TCSETS2, &t) != 0)
        return SerialSetup::ApplySettingsFailed;
    port->modem = modem;
    port->bitsPerSecond = bps != 0 ? bps : CurrentRate(t);
    SetModemLines(port->fd.Get(), modem);
    (void)ioctl(port->fd.Get(), TCFLSH, TCIOFLUSH);
    return SerialSetup::Ok;
}

int PollFor(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int r = poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return r;
        return p.revents;
    }
}

// Milliseconds of silence after data that end a modem read: a few character times, at least 3.
int QuietGapMs(uint32_t bps) {
    const uint32_t threeChars = bps > 0 ? (30000u + bps - 1) / bps : 3u;
    return static_cast<int>(threeChars < 3 ? 3 : threeChars);
}

int ReadDirect(SerialPort* port, uint8_t* buffer, int count) {
    const ssize_t n = read(port->fd.Get(), buffer, static_cast<size_t>(count));
    if (n >= 0)
        return static_cast<int>(n);
    // A pty whose far end is closed gives EIO: nothing arrived, not a failure.
    if (errno == EAGAIN || errno == EINTR || errno == EIO)
        return 0;
    return -1;
}

int ReadModem(SerialPort* port, uint8_t* buffer, int count) {
    const uint32_t start = TickCount();
    const uint32_t total = static_cast<uint32_t>(count) + 1;
    const int gap = QuietGapMs(port->bitsPerSecond);
    int got = 0;
    for (;;) {
        const uint32_t elapsed = TickCount() - start;
        if (elapsed >= total || got >= count)
            return got;
        const int left = static_cast<int>(total - elapsed);
        const int wait = got == 0 ? left : (gap < left ? gap : left);
        const int ev = PollFor(port->fd.Get(), POLLIN, wait);
        if (ev < 0)
            return got > 0 ? got : -1;
        if (ev == 0) {
            if (got > 0)
                return got; // the line went quiet after data
            continue;
        }
        if (ev & POLLIN) {
            const ssize_t n = read(port->fd.Get(), buffer + got, static_cast<size_t>(count - got));
            if (n > 0) {
                got += static_cast<int>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        // Hang-up or EIO: the far end is gone. Sleep out the time-out like an idle line would,
        // so the caller's polling keeps its pace.
        if (got > 0)
            return got;
        const uint32_t now = TickCount() - start;
        if (now < total)
            SleepMs(total - now);
        return 0;
    }
}

} // namespace

std::string SerialDeviceName(unsigned comNumber) {
    const char* dir = std::getenv("ECGCOMM_PORTS");
    if (dir != nullptr && *dir != '\0') {
        std::string mapped = std::string(dir) + "/COM" + std::to_string(comNumber);
        struct stat st {};
        if (lstat(mapped.c_str(), &st) == 0)
            return mapped;
    }
    return "/dev/ttyS" + std::to_string(comNumber == 0 ? 0 : comNumber - 1);
}

void SerialPortDeleter::operator()(SerialPort* port) const {
    delete port; // closes it when SerialClose has not
}

UniqueSerialPort SerialOpen(unsigned comNumber, uint32_t* lastError) {
    const std::string name = SerialDeviceName(comNumber);
    UniqueFd fd(open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.IsValid()) {
        if (lastError != nullptr)
            *lastError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    // No sharing, as the Windows open: a second process on the same port must fail.
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (lastError != nullptr)
            *lastError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    (void)ioctl(fd.Get(), TIOCEXCL);
    termios2 t{};
    if (ioctl(fd.Get(), TCGETS2, &t) != 0) {
        // Not a tty: the port does not exist as far as the caller is concerned.
        if (lastError != nullptr)
            *lastError = static_cast<uint32_t>(errno);
        return nullptr;
    }
    UniqueSerialPort port(new SerialPort);
    port->fd = std::move(fd);
    port->bitsPerSecond = CurrentRate(t);
    return port;
}

SerialSetup SerialConfigureDirect(SerialPort* port, uint32_t bitsPerSecond) {
    return Configure(port, bitsPerSecond, false);
}

SerialSetup SerialConfigureModem(SerialPort* port, uint32_t bitsPerSecond) {
    return Configure(port, bitsPerSecond, true);
}

int SerialRead(SerialPort* port, uint8_t* buffer, int count) {
    if (port == nullptr || buffer == nullptr || count < 0)
        return -1;
    if (count == 0)
        return 0;
    return port->modem ? ReadModem(port, buffer, count) : ReadDirect(port, buffer, count);
}

bool SerialWrite(SerialPort* port, const uint8_t* buffer, int length) {
    if (port == nullptr || (buffer == nullptr && length > 0) || length < 0)
        return false;
    if (length == 0)
        return true;
    // There is nearly always room: write at once and wait only when the queue is full.
    ssize_t n = write(port->fd.Get(), buffer, static_cast<size_t>(length));
    if (n >= 0)
        return true;
    if (errno != EAGAIN)
        return false;
    const int limit = port->modem ? length + 1 : kDirectWriteLimitMs;
    const int ev = PollFor(port->fd.Get(), POLLOUT, limit);
    if (ev < 0)
        return false;
    if (ev == 0)
        return true; // timed out like a Windows write with a total time-out: success, 0 written
    if (ev & (POLLERR | POLLNVAL))
        return false;
    n = write(port->fd.Get(), buffer, static_cast<size_t>(length));
    return n >= 0 || errno == EAGAIN;
}

void SerialPurge(SerialPort* port, bool transmit, bool receive) {
    if (port == nullptr || (!transmit && !receive))
        return;
    const int which = transmit && receive ? TCIOFLUSH : (transmit ? TCOFLUSH : TCIFLUSH);
    (void)ioctl(port->fd.Get(), TCFLSH, which);
}

std::string SerialToOem(const std::string& text) {
    return text;
}

SerialWait SerialWaitReadable(SerialPort* port, Wakeup* wakeup, uint32_t timeoutMs) {
    const uint32_t start = TickCount();
    const int wakeFd = static_cast<int>(WakeupNativeHandle(wakeup));
    bool lineUsable = port != nullptr;
    for (;;) {
        const uint32_t elapsed = TickCount() - start;
        const int left = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
        pollfd p[2] = {{wakeFd, POLLIN, 0}, {lineUsable ? port->fd.Get() : -1, POLLIN, 0}};
        const int r = poll(p, 2, left);
        if (r < 0 && errno == EINTR && left > 0)
            continue;
        if (r <= 0)
            return SerialWait::Timeout;
        if ((p[0].revents & POLLIN) && WakeupConsume(wakeup))
            return SerialWait::Woken;
        // A hung-up pty reports itself readable for ever although a read only fails: then only
        // bytes really queued count, and otherwise the wake-up alone is watched for the rest of
        // the time.
        const bool hungUp = (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        int queued = 0;
        if ((p[1].revents & POLLIN) &&
            (!hungUp || (ioctl(port->fd.Get(), FIONREAD, &queued) == 0 && queued > 0)))
            return SerialWait::Readable;
        if (hungUp)
            lineUsable = false;
        if (left == 0)
            return SerialWait::Timeout;
    }
}

bool SerialClose(UniqueSerialPort port) {
    return port != nullptr && port->Close();
}

} // namespace platform
