// Windows directory services over GetFileAttributesA, FindFirstFileA and the C runtime.
#include "platform/fs.h"

#include "platform/win32/unique_handle_win32.h"

#include <direct.h>
#include <windows.h>

namespace platform {

char PathSeparator() {
    return '\\';
}

bool PathHasAttributes(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AnyEntryMatches(const std::string& pattern) {
    if (pattern.empty())
        return false;
    WIN32_FIND_DATAA data{};
    const UniqueFindHandle search(FindFirstFileA(pattern.c_str(), &data));
    return search.IsValid();
}

bool ChangeDirectory(const std::string& path) {
    return _chdir(path.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

std::string CurrentDirectory() {
    char buffer[MAX_PATH + 1] = {0};
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    if (n == 0 || n > MAX_PATH)
        return std::string();
    return buffer;
}

std::string AbsolutePath(const std::string& path) {
    char buffer[MAX_PATH + 1] = {0};
    const DWORD n = GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0 || n > MAX_PATH)
        return path;
    return buffer;
}

} // namespace platform
