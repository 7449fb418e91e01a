// Millisecond tick count, sleeping and the local wall-clock time.
// Protocol time-outs never use these directly for counting: they count loop ticks.
#pragma once
#include <chrono>
#include <cstdint>

namespace platform {

// 32-bit milliseconds of a monotonic clock; wraps around like the Win32 tick count.
uint32_t TickCount();

// Microseconds of a monotonic clock, for waits finer than the tick count.
inline uint64_t MonotonicUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Blocks the calling thread for at least the given number of milliseconds.
void SleepMs(uint32_t milliseconds);

struct LocalTime {
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // day of the month
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The local time now, to the millisecond.
LocalTime NowLocal();

} // namespace platform
