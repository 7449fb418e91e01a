// Linked into ThreadSanitizer builds only. The C++ library locks a timed mutex against the
// steady clock with pthread_mutex_clocklock, which ThreadSanitizer (gcc 12 and clang 14) does not
// intercept: it then sees every unlock of such a mutex as an unlock of an unlocked mutex and
// loses the happens-before edges the lock gives, so it would report false races too. This
// definition takes the place of the C library's and goes through pthread_mutex_timedlock, which
// ThreadSanitizer does intercept. It must never be part of a shipped build.
#include <cerrno>
#include <pthread.h>
#include <time.h>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME)
        return pthread_mutex_timedlock(mutex, deadline);
    // Move the deadline to the real-time clock by the distance it has from now.
    timespec now{}, real{};
    if (clock_gettime(clock, &now) != 0 || clock_gettime(CLOCK_REALTIME, &real) != 0)
        return EINVAL;
    long long ns = (static_cast<long long>(deadline->tv_sec) - now.tv_sec) * 1000000000LL +
                   (deadline->tv_nsec - now.tv_nsec);
    if (ns < 0)
        ns = 0;
    ns += real.tv_nsec;
    timespec at{};
    at.tv_sec = real.tv_sec + static_cast<time_t>(ns / 1000000000LL);
    at.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return pthread_mutex_timedlock(mutex, &at);
}
