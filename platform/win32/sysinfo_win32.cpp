// Windows machine facts: GetComputerNameA, ExpandEnvironmentStringsA, GetTempPathA.
#include "platform/sysinfo.h"

#include <cstdlib>
#include <vector>
#include <windows.h>

namespace platform {

std::string ComputerName() {
    char name[256] = {0};
    DWORD size = 255;
    if (!GetComputerNameA(name, &size))
        return std::string();
    return std::string(name, size);
}

std::string EnvironmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

std::string ExpandEnvironment(const std::string& text) {
    std::vector<char> buffer(32768, '\0');
    const DWORD n =
        ExpandEnvironmentStringsA(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n > buffer.size())
        return text;
    return std::string(buffer.data());
}

std::string TempDirectory() {
    char path[MAX_PATH + 2] = {0};
    const DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n > MAX_PATH)
        return std::string();
    return std::string(path, n);
}

} // namespace platform
