// Test helpers: a fresh directory per test, whole-file reads, and a profile set-up that points
// the application data directory at a test folder.
#pragma once
#include "platform/sysinfo.h"
#include "tools/app_paths.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace testsupport {

namespace fs = std::filesystem;

// A new empty directory under the system temporary directory, removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        for (;;) {
            m_path = fs::temp_directory_path() / ("ecgcomm-test-" + std::to_string(rd()));
            if (fs::create_directory(m_path))
                break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec); // leave before removing
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path() const { return m_path.string(); }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    fs::path m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Points the machine profile at <dir>/win.ini, which names <dir>/appdata as the application
// data directory; writes LOC_WIN.INI there with the given message format (none when < 0).
inline void UseTestProfile(const TempDir& dir, int messageFormat) {
    const std::string appData = dir / "appdata";
    fs::create_directories(appData);
    WriteFile(dir / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + appData + "\n");
    if (messageFormat >= 0)
        WriteFile(appData + "/LOC_WIN.INI",
                  "[VELMAR]\nLOG_MessageFormat=" + std::to_string(messageFormat) + "\n");
    setenv("ECGCOMM_WIN_INI", (dir / "win.ini").c_str(), 1);
    ResetAppDataPathCache();
}

} // namespace testsupport
