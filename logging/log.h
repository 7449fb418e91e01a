// The one plain-function door into the process-wide logger, for modules that are not classes,
// plus a seam through which tests watch what a module logs without reading log files.
#pragma once
#include <functional>
#include <string>

// Level numbers; the logger writes them as words.
enum LogLevel : int {
    LOG_INFORMATION = 2,
    LOG_WARNING = 1,
    LOG_ERROR = 0,
    LOG_LEGACY = -1,
    LOG_CRITICAL = -2,
    LOG_KEY_EVENT = -5,
};

// Forwards to CErrorLogger::GetInstance()->Log(source, text, level); the result is the logger's.
bool LogMessage(const char* source, const char* text, int level);
inline bool LogMessage(const char* source, const std::string& text, int level) {
    return LogMessage(source, text.c_str(), level);
}

// printf-style convenience: formats the text first (the logger never formats).
bool LogFormat(const char* source, int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// Test seam: when set, every LogMessage call is also handed to the observer (on the caller's
// thread), whether or not the logger is started. Pass an empty function to remove it.
using LogObserver =
    std::function<void(const std::string& source, const std::string& text, int level)>;
void SetLogObserver(LogObserver observer);
