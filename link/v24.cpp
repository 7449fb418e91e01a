// The COM line table and its block operations over the platform serial port.
// Must never log and never block: reads return with what has arrived.
#include "link/v24.h"

#include "platform/clock.h"
#include "platform/serial.h"

#include <utility>

namespace {

struct V24State {
    platform::UniqueSerialPort lines[V24_LINES];
    uint32_t (*tick)() = nullptr;
};

V24State g_v24;

uint32_t Now() {
    return g_v24.tick != nullptr ? g_v24.tick() : platform::TickCount();
}

bool ValidIndex(int line) {
    return line >= 0 && line < V24_LINES;
}

// Both ends are unsigned 32-bit tick counts that may wrap between start and deadline.
bool DeadlinePassed(uint32_t start, uint32_t deadline, uint32_t now) {
    if (deadline >= start)
        return now >= deadline;
    return deadline <= now && now < start;
}

} // namespace

uint32_t v24_bits_per_second(int baudIndex) {
    static const uint32_t table[] = {300,   600,   1200,  2400,  4800,   9600,
                                     19200, 38400, 56000, 57600, 115200, 128000};
    if (baudIndex < 0 || baudIndex > 11)
        return 9600;
    return table[baudIndex];
}

void v24_set_tick_source(uint32_t (*tick)()) {
    g_v24.tick = tick;
}

int32_t v24_open(int line, int /*parity*/, int /*dataBits*/, int /*stopBits*/, int baudIndex,
                 int /*handshake*/) {
    // The framing selectors only ever ask for 8N1 without handshake, which is what the platform
    // layer's direct configuration gives.
    if (!ValidIndex(line))
        return -1;
    // Never still open in this system (a line is closed before it is reopened); if it were, it
    // must be closed before the same port is opened again, as the open is exclusive.
    g_v24.lines[line].reset();
    g_v24.lines[line] = platform::SerialOpen(static_cast<unsigned>(line + 1), nullptr);
    if (g_v24.lines[line] == nullptr)
        return -1;
    if (platform::SerialConfigureDirect(g_v24.lines[line].get(), v24_bits_per_second(baudIndex)) !=
        platform::SerialSetup::Ok) {
        v24_close(line);
        return -1;
    }
    return 0;
}

int32_t v24_read_block(int line, uint32_t timeoutMs, int count, uint8_t* buffer, int* bytesRead) {
    if (bytesRead == nullptr)
        return -1;
    *bytesRead = 0;
    if (!ValidIndex(line) || g_v24.lines[line] == nullptr || buffer == nullptr || count < 0)
        return -1;
    const uint32_t start = Now();
    const uint32_t deadline = start + timeoutMs;
    int total = 0;
    for (;;) {
        const int got =
            platform::SerialRead(g_v24.lines[line].get(), buffer + total, count - total);
        if (got < 0) {
            *bytesRead = total;
            return -1;
        }
        total += got;
        // The deadline is tested before the count, so a time-out of 0 makes exactly one read.
        if (DeadlinePassed(start, deadline, Now())) {
            *bytesRead = total;
            return -2;
        }
        if (total >= count) {
            *bytesRead = total;
            return 0;
        }
    }
}

int32_t v24_wait_readable(int line, uint32_t timeoutMs, platform::Wakeup* wakeup) {
    if (!ValidIndex(line) || g_v24.lines[line] == nullptr)
        return -1;
    switch (platform::SerialWaitReadable(g_v24.lines[line].get(), wakeup, timeoutMs)) {
    case platform::SerialWait::Readable:
        return 1;
    case platform::SerialWait::Woken:
        return 2;
    default:
        return 0;
    }
}

int32_t v24_write_block(int line, uint32_t /*timeoutMs*/, const uint8_t* buffer, int length) {
    if (!ValidIndex(line) || g_v24.lines[line] == nullptr)
        return -1;
    return platform::SerialWrite(g_v24.lines[line].get(), buffer, length) ? 0 : -1;
}

int32_t v24_close(int line) {
    if (!ValidIndex(line) || g_v24.lines[line] == nullptr)
        return -1;
    platform::SerialPurge(g_v24.lines[line].get(), true, false);
    platform::SerialPurge(g_v24.lines[line].get(), false, true);
    return platform::SerialClose(std::move(g_v24.lines[line])) ? 0 : -1;
}
