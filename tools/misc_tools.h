// File-system helpers used by the entry, the logger set-up and received-file storage.
// They report failure only through their results.
#pragma once
#include <string>

class CCommonMiscTools {
public:
    virtual ~CCommonMiscTools() = default;

    // True when something matches the path (wildcards allowed); a directory counts.
    static bool FileExists(const std::string& path);
    // True when the path names an existing file or directory.
    static bool PathExists(const std::string& path);
    // "YYYY-MM-DDThh_mm_ss.nnn" from the local time; nnn is the milliseconds when exact,
    // otherwise a pseudo-random number 0..999.
    static std::string UniqueFileName(bool exactMilliseconds);
    // Makes sure the directory exists, creating missing levels; changes the current directory.
    static bool CreateDirectoryPath(const std::string& path);
};

// Renders the time-stamped name for a given time and last field (exposed for tests).
std::string FormatUniqueFileName(int year, int month, int day, int hour, int minute, int second,
                                 int lastField);
