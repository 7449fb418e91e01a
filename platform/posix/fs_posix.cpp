// Linux directory services over stat, glob, chdir and mkdir.
#include "platform/fs.h"

#include <glob.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

char PathSeparator() { return '/'; }

bool PathHasAttributes(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool AnyEntryMatches(const std::string& pattern) {
    if (pattern.empty())
        return false;
    glob_t found{};
    // GLOB_NOESCAPE: a backslash in a file name is an ordinary character, as on Windows.
    const int rc = glob(pattern.c_str(), GLOB_NOESCAPE | GLOB_NOSORT, nullptr, &found);
    const bool any = rc == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}

bool ChangeDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

bool MakeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr)
        return std::string();
    return buffer;
}

} // namespace platform
