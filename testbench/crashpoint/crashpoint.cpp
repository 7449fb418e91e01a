// Crash points for the storage step, loaded into ecgcomm with LD_PRELOAD. Every file-system call
// that touches a received file (a name ending in .TMP or .ECG) or the destination directory itself
// is counted; the call numbered CRASHPOINT_AT is never made: the process kills itself with
// SIGKILL just before it, as a power cut or kill -9 would. Running the same call with every
// number in turn stops the process between each pair of steps of the storage, once each.
//
//   CRASHPOINT_DIR  the destination directory (absolute, as given to ecgcomm)
//   CRASHPOINT_AT   the number of the call to die at; 0 or unset never dies
//   CRASHPOINT_LOG  a file that gets one line per counted call: "<n> <call> <path>"
//
// More faults for the same binary:
//   CRASHPOINT_OCCUPY       text that another writer puts into the .ECG of a .TMP's name the
//                           moment that .TMP is created: the name is taken during the store
//   CRASHPOINT_FAIL_THREAD  the number of the pthread_create call that fails with EAGAIN, as
//                           when the system is out of threads or memory
//   CRASHPOINT_NO_LINKS     set: link() refuses with EPERM, as on a file system without hard
//                           links (FAT, CIFS, exFAT)
//
// Linux only; the product knows nothing of it.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int kMaxFd = 4096;

struct Config {
    std::string dir; // without a trailing slash
    long at = 0;
    std::string log;
};

const Config& Settings() {
    static const Config config = [] {
        Config c;
        if (const char* d = std::getenv("CRASHPOINT_DIR")) {
            c.dir = d;
            while (c.dir.size() > 1 && c.dir.back() == '/')
                c.dir.pop_back();
        }
        if (const char* a = std::getenv("CRASHPOINT_AT"))
            c.at = std::strtol(a, nullptr, 10);
        if (const char* l = std::getenv("CRASHPOINT_LOG"))
            c.log = l;
        return c;
    }();
    return config;
}

std::atomic<bool> g_tracked[kMaxFd];
std::atomic<long> g_count{0};
std::mutex g_logLock;

template <typename F> F Real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool Watched(const char* path) {
    const Config& c = Settings();
    if (c.dir.empty() || path == nullptr)
        return false;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (p == c.dir)
        return true;
    return p.compare(0, c.dir.size() + 1, c.dir + "/") == 0 &&
           (EndsWith(p, ".TMP") || EndsWith(p, ".ECG"));
}

bool WatchedFd(int fd) {
    return fd >= 0 && fd < kMaxFd && g_tracked[fd].load();
}

void Track(int fd, bool on) {
    if (fd >= 0 && fd < kMaxFd)
        g_tracked[fd].store(on);
}

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);

OpenFn RealOpen(const char* name) {
    static const OpenFn plain = Real<OpenFn>("open");
    static const OpenFn large = Real<OpenFn>("open64");
    return std::strcmp(name, "open") == 0 ? plain : large;
}

OpenAtFn RealOpenAt(const char* name) {
    static const OpenAtFn plain = Real<OpenAtFn>("openat");
    static const OpenAtFn large = Real<OpenAtFn>("openat64");
    return std::strcmp(name, "openat") == 0 ? plain : large;
}

// Counts one call; dies when it is the chosen one. The log line goes out through write(2) on a
// descriptor of its own, never a buffer in the process, so that it survives the kill.
void Step(const char* call, const char* what) {
    const long n = ++g_count;
    const Config& c = Settings();
    if (!c.log.empty()) {
        std::lock_guard<std::mutex> lock(g_logLock);
        static const OpenFn realOpen = RealOpen("open");
        static auto realWrite = Real<ssize_t (*)(int, const void*, size_t)>("write");
        static auto realClose = Real<int (*)(int)>("close");
        const int fd = realOpen(c.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char line[1200];
            const int len = std::snprintf(line, sizeof line, "%ld %s %s\n", n, call, what);
            if (len > 0)
                realWrite(fd, line,
                          static_cast<size_t>(len) < sizeof line ? static_cast<size_t>(len)
                                                                 : sizeof line - 1);
            realClose(fd);
        }
    }
    if (c.at > 0 && n == c.at)
        ::kill(::getpid(), SIGKILL);
}

std::string FdName(int fd) {
    return "fd:" + std::to_string(fd);
}

// Another writer takes the .ECG name that this .TMP will be moved to.
void Occupy(const char* real, const char* tmpPath, int flags) {
    const char* text = std::getenv("CRASHPOINT_OCCUPY");
    std::string ecg = tmpPath;
    if (text == nullptr || (flags & O_CREAT) == 0 || !EndsWith(ecg, ".TMP"))
        return;
    ecg.replace(ecg.size() - 4, 4, ".ECG");
    const int fd = RealOpen(real)(ecg.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    static auto realWrite = Real<ssize_t (*)(int, const void*, size_t)>("write");
    static auto realClose = Real<int (*)(int)>("close");
    (void)!realWrite(fd, text, std::strlen(text));
    realClose(fd);
}

int OpenCommon(const char* real, const char* path, int flags, mode_t mode) {
    const bool watched = Watched(path);
    if (watched) {
        Step("open", path);
        Occupy(real, path, flags);
    }
    const int fd = RealOpen(real)(path, flags, mode);
    if (watched)
        Track(fd, true);
    return fd;
}

int OpenAtCommon(const char* real, int dirfd, const char* path, int flags, mode_t mode) {
    const bool watched = path != nullptr && path[0] == '/' && Watched(path);
    if (watched)
        Step("openat", path);
    const int fd = RealOpenAt(real)(dirfd, path, flags, mode);
    if (watched)
        Track(fd, true);
    return fd;
}

mode_t ModeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenCommon("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenCommon("open64", path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenAtCommon("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    return OpenAtCommon("openat64", dirfd, path, flags, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
    if (WatchedFd(fd))
        Step("write", FdName(fd).c_str());
    static const auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, data, size);
}

int fsync(int fd) {
    if (WatchedFd(fd))
        Step("fsync", FdName(fd).c_str());
    static const auto real = Real<int (*)(int)>("fsync");
    return real(fd);
}

int fdatasync(int fd) {
    if (WatchedFd(fd))
        Step("fdatasync", FdName(fd).c_str());
    static const auto real = Real<int (*)(int)>("fdatasync");
    return real(fd);
}

int close(int fd) {
    if (WatchedFd(fd)) {
        Step("close", FdName(fd).c_str());
        Track(fd, false);
    }
    static const auto real = Real<int (*)(int)>("close");
    return real(fd);
}

int link(const char* from, const char* to) {
    if (Watched(from) || Watched(to)) {
        Step("link", to);
        if (std::getenv("CRASHPOINT_NO_LINKS") != nullptr) {
            errno = EPERM;
            return -1;
        }
    }
    static const auto real = Real<int (*)(const char*, const char*)>("link");
    return real(from, to);
}

int rename(const char* from, const char* to) {
    if (Watched(from) || Watched(to))
        Step("rename", to);
    static const auto real = Real<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
    static std::atomic<long> created{0};
    const char* failAt = std::getenv("CRASHPOINT_FAIL_THREAD");
    if (failAt != nullptr && ++created == std::strtol(failAt, nullptr, 10))
        return EAGAIN;
    static const auto real =
        Real<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    return real(thread, attributes, start, argument);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (Watched(from) || Watched(to))
        Step("renameat2", to);
    static const auto real =
        Real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    return real(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
    if (Watched(path))
        Step("unlink", path);
    static const auto real = Real<int (*)(const char*)>("unlink");
    return real(path);
}

} // extern "C"
