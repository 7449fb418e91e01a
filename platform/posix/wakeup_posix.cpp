// POSIX wake-up signal: a non-blocking pipe whose read end a poll() can watch. An atomic flag
// keeps the pipe from filling up when nobody waits (a classic-mode engine never drains it).
#include "platform/wakeup.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

namespace platform {

struct Wakeup {
    int readFd = -1;
    int writeFd = -1;
    std::atomic<bool> raised{false};
};

Wakeup* WakeupCreate() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return nullptr;
    auto* wakeup = new Wakeup;
    wakeup->readFd = fds[0];
    wakeup->writeFd = fds[1];
    return wakeup;
}

void WakeupDestroy(Wakeup* wakeup) {
    if (wakeup == nullptr)
        return;
    close(wakeup->readFd);
    close(wakeup->writeFd);
    delete wakeup;
}

void WakeupRaise(Wakeup* wakeup) {
    if (wakeup == nullptr || wakeup->raised.exchange(true))
        return;
    const char byte = 1;
    // A full pipe already wakes the reader; any other failure leaves the reader to its time-out.
    (void)!write(wakeup->writeFd, &byte, 1);
}

bool WakeupConsume(Wakeup* wakeup) {
    if (wakeup == nullptr)
        return false;
    char sink[64];
    while (read(wakeup->readFd, sink, sizeof sink) > 0) {
    }
    return wakeup->raised.exchange(false);
}

bool WakeupWait(Wakeup* wakeup, uint32_t timeoutMs) {
    if (wakeup == nullptr)
        return false;
    pollfd p{wakeup->readFd, POLLIN, 0};
    // An interrupted or failed poll ends the wait early; the caller's tick accounting copes.
    (void)poll(&p, 1, static_cast<int>(timeoutMs));
    return WakeupConsume(wakeup);
}

bool WakeupWaitUs(Wakeup* wakeup, uint64_t timeoutUs) {
    // A negative descriptor is ignored by ppoll, so a null signal makes this a plain sleep.
    pollfd p{wakeup != nullptr ? wakeup->readFd : -1, POLLIN, 0};
    const timespec limit{static_cast<time_t>(timeoutUs / 1000000),
                         static_cast<long>(timeoutUs % 1000000) * 1000};
    // Only a readable pipe has anything to clear: a raise still on its way wakes the next wait.
    return ppoll(&p, 1, &limit, nullptr) > 0 && WakeupConsume(wakeup);
}

intptr_t WakeupNativeHandle(Wakeup* wakeup) {
    return wakeup != nullptr ? wakeup->readFd : -1;
}

} // namespace platform
