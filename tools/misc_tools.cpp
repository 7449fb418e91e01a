// File-system helpers for the entry, the logger set-up and received-file storage. They report
// failure only through their results; CreateDirectoryPath changes the current directory.
#include "tools/misc_tools.h"

#include "platform/clock.h"
#include "platform/fs.h"
#include "tools/token.h"

#include <cstdio>
#include <cstdlib>

bool CCommonMiscTools::FileExists(const std::string& path) {
    if (path.empty())
        return false;
    return platform::AnyEntryMatches(path);
}

bool CCommonMiscTools::PathExists(const std::string& path) {
    return platform::PathHasAttributes(path);
}

std::string FormatUniqueFileName(int year, int month, int day, int hour, int minute, int second,
                                 int lastField) {
    char name[64];
    std::snprintf(name, sizeof name, "%04d-%02d-%02dT%02d_%02d_%02d.%03d", year, month, day, hour,
                  minute, second, lastField);
    return name;
}

std::string CCommonMiscTools::UniqueFileName(bool exactMilliseconds) {
    static bool seeded = false;
    const platform::LocalTime t = platform::NowLocal();
    int last = t.millisecond;
    if (!exactMilliseconds) {
        if (!seeded) {
            std::srand(platform::TickCount());
            seeded = true;
        }
        last = std::rand() % 1000;
    }
    return FormatUniqueFileName(t.year, t.month, t.day, t.hour, t.minute, t.second, last);
}

bool CCommonMiscTools::CreateDirectoryPath(const std::string& path) {
    if (PathExists(path))
        return true;
    const char sep = platform::PathSeparator();
    CToken tokens(path, std::string(1, sep));
    bool first = true;
    while (tokens.HasMoreTokens()) {
        std::string level = tokens.GetNextToken();
        // An absolute POSIX path yields an empty first token: it stands for the root, just as
        // "C:" does on Windows. Every other empty token (a network path) ends the walk.
        const bool posixRoot =
            first && sep == '/' && level.empty() && !path.empty() && path[0] == '/';
        first = false;
        if (level.empty() && !posixRoot)
            break;
        level += sep;
        if (!platform::ChangeDirectory(level)) {
            if (!platform::MakeDirectory(level))
                return false;
            platform::ChangeDirectory(level);
        }
    }
    return PathExists(path);
}
