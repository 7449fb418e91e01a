// A wake-up signal that one thread raises and another waits on, alone or together with a serial
// port: the command queue raises it when a command is posted, so that the engine's fast loop can
// sleep until the line has bytes, a command arrives or its tick ends, whichever comes first.
// Raising is cheap and never blocks; several raises before a wait count as one.
#pragma once
#include <cstdint>
#include <memory>

namespace platform {

struct Wakeup; // opaque

// Closes what the signal holds and frees it.
struct WakeupDeleter {
    void operator()(Wakeup* wakeup) const;
};
// The owner of a signal; the functions below only use the signal they are given.
using UniqueWakeup = std::unique_ptr<Wakeup, WakeupDeleter>;

// Null when the platform refuses the resources; callers then fall back to plain time-outs.
UniqueWakeup WakeupCreate();

// Marks the signal raised; a wait in progress or the next one returns at once.
void WakeupRaise(Wakeup* wakeup);

// Waits at most timeoutMs for the signal; true when it was raised (the signal is then cleared).
bool WakeupWait(Wakeup* wakeup, uint32_t timeoutMs);

// As WakeupWait, to the microsecond where the platform allows; without a signal (null) it simply
// sleeps for the time. For waits shorter than a millisecond, such as the rest of a frame.
bool WakeupWaitUs(Wakeup* wakeup, uint64_t timeoutUs);

// Clears a raised signal without waiting; true when it was raised.
bool WakeupConsume(Wakeup* wakeup);

// The object a platform wait can block on (a file descriptor on POSIX, an event handle on
// Windows). For the platform layer only: nothing above it may use this.
intptr_t WakeupNativeHandle(Wakeup* wakeup);

} // namespace platform
