// Windows profile reading: GetProfileStringA on WIN.INI and GetPrivateProfile*A.
#include "platform/profile.h"

#include <windows.h>

namespace platform {

std::string ProfileLocation() {
    return "WIN.INI";
}

std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) {
    char buffer[1024] = {0};
    GetProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer, sizeof buffer);
    return buffer;
}

std::string PrivateProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& path) {
    char buffer[1024] = {0};
    GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                             sizeof buffer, path.c_str());
    return buffer;
}

uint32_t PrivateProfileInt(const std::string& section, const std::string& key,
                           uint32_t defaultValue, const std::string& path) {
    return GetPrivateProfileIntA(section.c_str(), key.c_str(), static_cast<INT>(defaultValue),
                                 path.c_str());
}

} // namespace platform
