// POSIX wake-up signal: a non-blocking pipe whose read end a poll() can watch. An atomic flag
// keeps the pipe from filling up when nobody waits (a classic-mode engine never drains it).
#include "platform/wakeup.h"

#include "platform/posix/unique_fd.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace platform {

struct Wakeup {
    UniqueFd readFd;
    UniqueFd writeFd;
    std::atomic<bool> raised{false};
};

void WakeupDeleter::operator()(Wakeup* wakeup) const {
    delete wakeup; // its descriptors close with it
}

UniqueWakeup WakeupCreate() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return nullptr;
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    UniqueWakeup wakeup(new Wakeup);
    wakeup->readFd = std::move(readEnd);
    wakeup->writeFd = std::move(writeEnd);
    return wakeup;
}

void WakeupRaise(Wakeup* wakeup) {
    if (wakeup == nullptr || wakeup->raised.exchange(true))
        return;
    const char byte = 1;
    // A full pipe already wakes the reader; any other failure leaves the reader to its time-out.
    (void)!write(wakeup->writeFd.Get(), &byte, 1);
}

bool WakeupConsume(Wakeup* wakeup) {
    if (wakeup == nullptr)
        return false;
    char sink[64];
    while (read(wakeup->readFd.Get(), sink, sizeof sink) > 0) {
    }
    return wakeup->raised.exchange(false);
}

bool WakeupWait(Wakeup* wakeup, uint32_t timeoutMs) {
    if (wakeup == nullptr)
        return false;
    pollfd p{wakeup->readFd.Get(), POLLIN, 0};
    // An interrupted or failed poll ends the wait early; the caller's tick accounting copes.
    (void)poll(&p, 1, static_cast<int>(timeoutMs));
    return WakeupConsume(wakeup);
}

bool WakeupWaitUs(Wakeup* wakeup, uint64_t timeoutUs) {
    // A negative descriptor is ignored by ppoll, so a null signal makes this a plain sleep.
    pollfd p{wakeup != nullptr ? wakeup->readFd.Get() : -1, POLLIN, 0};
    const timespec limit{static_cast<time_t>(timeoutUs / 1000000),
                         static_cast<long>(timeoutUs % 1000000) * 1000};
    // Only a readable pipe has anything to clear: a raise still on its way wakes the next wait.
    return ppoll(&p, 1, &limit, nullptr) > 0 && WakeupConsume(wakeup);
}

intptr_t WakeupNativeHandle(Wakeup* wakeup) {
    return wakeup != nullptr ? wakeup->readFd.Get() : -1;
}

} // namespace platform
