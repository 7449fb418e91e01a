// Helpers for logger tests: a private logger started on a test directory at a fixed time.
#pragma once
#include "logging/error_logger.h"
#include "support/temp_dir.h"

#include <memory>

namespace testsupport {

// 2016-03-07 09:05:01.042
inline platform::LocalTime FixedTime() {
    platform::LocalTime t;
    t.year = 2016;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 1;
    t.millisecond = 42;
    return t;
}

inline std::string ExpectedHeader() {
    return "Log file of system: " + platform::ComputerName() +
           "\r\nCreated: 2016-03-07 09:05:01 \r\n" + std::string(64, '-') + "\r\n\r\n";
}

// A logger configured as the process configures its own, on dir, with a writer that sleeps
// for an hour unless told otherwise, so tests decide when to flush.
inline std::unique_ptr<CErrorLogger> StartedLogger(const TempDir& dir, int messageFormat = -1,
                                                   uint32_t writeInterval = 3600000,
                                                   uint32_t maxFileSize = 0x100000,
                                                   int32_t maxFiles = 1) {
    UseTestProfile(dir, messageFormat);
    auto logger = std::make_unique<CErrorLogger>();
    logger->SetTimeSource(FixedTime);
    logger->Initialize(dir.Path(), "", "logfile_", maxFiles, maxFileSize, 0, writeInterval, 2, true,
                       false);
    return logger;
}

inline std::string BlockEntry(const std::string& level, const std::string& source,
                              const std::string& text) {
    std::string s = "2016-03-07 09:05:01.042\r\nLog Level: " + level + "\r\n";
    if (!source.empty())
        s += "   Source: " + source + "\r\n";
    return s + "     Text: " + text + "\r\n\r\n";
}

} // namespace testsupport
