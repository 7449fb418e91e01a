// Linux directory services over stat, glob, chdir and mkdir.
#include "platform/fs.h"

#include <glob.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

char PathSeparator() {
    return '/';
}

bool PathHasAttributes(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool AnyEntryMatches(const std::string& pattern) {
    if (pattern.empty())
        return false;
    // Only * and ? are wildcards, as for FindFirstFile; a name with brackets is literal.
    if (pattern.find_first_of("*?") == std::string::npos) {
        struct stat st {};
        return lstat(pattern.c_str(), &st) == 0;
    }
    std::string escaped;
    for (char c : pattern) {
        if (c == '[' || c == ']' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    glob_t found{};
    const int rc = glob(escaped.c_str(), GLOB_NOSORT, nullptr, &found);
    const bool any = rc == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}

bool ChangeDirectory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr)
        return std::string();
    return buffer;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    return CurrentDirectory() + "/" + path;
}

} // namespace platform
