// Application data directory look-up with its fall-backs, and the local profile path.
#include "tools/app_paths.h"

#include "platform/fs.h"
#include "platform/profile.h"
#include "platform/sysinfo.h"
#include "tools/token.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

char g_cache[256];
bool g_cacheFilled = false;
char g_profilePath[256];

const char* const kSection = "VELMAR";
const char* const kAppDataKey = "VelmarAppDataPath";

int CopyOut(const std::string& value, char* buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    const size_t n = std::min(value.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

bool IsNetworkPath(const std::string& path) {
    return platform::PathSeparator() == '\\' && path.size() >= 2 && path[0] == '\\' &&
           path[1] == '\\';
}

// Creates the configured directory level by level from its root. Errors are not checked:
// whether it worked is judged by entering the directory afterwards.
void CreateConfiguredPath(const std::string& path) {
    if (path.empty())
        return;
    const std::string sep(1, platform::PathSeparator());
    CToken tokens(path, sep);
    std::string root;
    if (IsNetworkPath(path)) {
        tokens.GetNextToken();
        tokens.GetNextToken();
        const std::string server = tokens.GetNextToken();
        const std::string share = tokens.GetNextToken();
        if (server.empty() || share.empty())
            return;
        root = sep + sep + server + sep + share;
    } else {
        // "D:" becomes the root of drive D; on Linux an absolute path's empty first name
        // becomes "/".
        root = tokens.GetNextToken() + sep;
    }
    platform::ChangeDirectory(root);
    while (tokens.HasMoreTokens()) {
        const std::string name = tokens.GetNextToken();
        if (!platform::ChangeDirectory(name)) {
            platform::MakeDirectory(name);
            platform::ChangeDirectory(name);
        }
    }
}

std::string FindAppDataPath(int size) {
    std::string configured = platform::ProfileString(kSection, kAppDataKey, "");
    if (!configured.empty() && platform::ChangeDirectory(configured))
        return configured;
    CreateConfiguredPath(configured);
    configured = platform::ProfileString(kSection, kAppDataKey, "");
    if (!configured.empty() && platform::ChangeDirectory(configured))
        return configured;
    std::string common = platform::ExpandEnvironment("%ALLUSERSPROFILE%");
    if (!platform::ChangeDirectory(common))
        return platform::TempDirectory();
    if (static_cast<int>(common.size()) + 7 < size) {
        common += platform::PathSeparator();
        common += "VELMAR";
        if (!platform::ChangeDirectory(common))
            platform::MakeDirectory(common);
    }
    return common;
}

} // namespace

int GetAppDataPath(char* buffer, int size) {
    if (!g_cacheFilled) {
        const std::string found = FindAppDataPath(size);
        CopyOut(found, g_cache, sizeof g_cache);
        g_cacheFilled = true;
    }
    return CopyOut(g_cache, buffer, size);
}

const char* LocalProfilePath(const char* fileName) {
    char directory[256] = {0};
    GetAppDataPath(directory, 255);
    const std::string name = fileName ? fileName : "LOC_WIN.INI";
    std::string path = name;
    if (name.find(platform::PathSeparator()) == std::string::npos &&
        name.size() + std::strlen(directory) + 2 < 255)
        path = std::string(directory) + platform::PathSeparator() + name;
    CopyOut(path, g_profilePath, sizeof g_profilePath);
    return g_profilePath;
}

uint32_t GetLocalProfileInt(const char* section, const char* key, uint32_t defaultValue,
                            const char* fileName) {
    if (key == nullptr || *key == '\0')
        return defaultValue;
    return platform::PrivateProfileInt(section ? section : "", key, defaultValue,
                                       LocalProfilePath(fileName));
}

void ResetAppDataPathCache() {
    g_cacheFilled = false;
    g_cache[0] = '\0';
}
