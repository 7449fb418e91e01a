// Stop requests on POSIX: SIGTERM, SIGINT and SIGHUP. The handler only writes the signal's
// number into a pipe, which is all a signal handler may safely do; the waiting thread reads the
// pipe in order. The signals are blocked in every thread but the waiting one, so a signal never
// interrupts a system call of the engine, the logger or the file loop.
#include "platform/stop_request.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr unsigned char kReleased = 0; // no signal has the number 0

// Never closed, so owned by no one: a signal can come until the process has ended, and its
// handler writes here.
int g_pipe[2] = {-1, -1};
std::atomic<bool> g_released{false};

void Record(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe (thousands of unread signals) loses this one; there is nothing better to do.
    (void)!write(g_pipe[1], &number, 1);
    errno = saved;
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kSignals)
        sigaddset(&set, signal);
    return set;
}

} // namespace

bool StopRequestsInstall() {
    if (g_pipe[0] >= 0)
        return true;
    if (pipe2(g_pipe, O_CLOEXEC) != 0)
        return false;
    // The handler must never block; the reader blocks on its end.
    fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    const sigset_t set = StopSignals();
    // Blocked before any thread exists, so every thread created later inherits the mask.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction action {};
    action.sa_handler = Record;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    for (int signal : kSignals) {
        // A signal ignored by whoever started the process (nohup, a background job) stays
        // ignored: that was a decision about this process.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
    return true;
}

bool StopRequestWait(std::string* name) {
    if (g_pipe[0] < 0 || g_released.load())
        return false;
    // Only this thread takes the signals; one that came earlier is delivered now.
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    // Waiting in poll() rather than read(): a thread blocked in poll takes a signal's handler at
    // once even where a tool defers handlers to safe points (ThreadSanitizer does for read).
    pollfd readable{g_pipe[0], POLLIN, 0};
    while (poll(&readable, 1, -1) < 0 && errno == EINTR) {
    }
    unsigned char number = kReleased;
    ssize_t n;
    do {
        n = read(g_pipe[0], &number, 1);
    } while (n < 0 && errno == EINTR);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (n != 1 || number == kReleased || g_released.load())
        return false;
    *name = number == SIGTERM  ? "signal SIGTERM"
            : number == SIGINT ? "signal SIGINT"
                               : "signal SIGHUP";
    return true;
}

void StopRequestsRelease() {
    if (g_pipe[0] < 0 || g_released.exchange(true))
        return;
    (void)!write(g_pipe[1], &kReleased, 1);
}

} // namespace platform
