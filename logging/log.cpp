// Plain-function access to the logger and the observer seam used by tests.
#include "logging/log.h"

#include "logging/error_logger.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {
std::mutex g_observerLock;
LogObserver g_observer;
} // namespace

void SetLogObserver(LogObserver observer) {
    std::lock_guard<std::mutex> guard(g_observerLock);
    g_observer = std::move(observer);
}

bool LogMessage(const char* source, const char* text, int level) {
    {
        std::lock_guard<std::mutex> guard(g_observerLock);
        if (g_observer)
            g_observer(source ? source : "", text ? text : "", level);
    }
    return CErrorLogger::GetInstance()->Log(source, text, level);
}

bool LogFormat(const char* source, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> buffer(needed > 0 ? static_cast<size_t>(needed) + 1 : 1, '\0');
    if (needed > 0)
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    return LogMessage(source, buffer.data(), level);
}
