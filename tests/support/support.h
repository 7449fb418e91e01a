// The portable test helpers.
#pragma once
#include "logging/log.h"
#include "tools/app_paths.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#endif

namespace testsupport {

namespace fs = std::filesystem;

// A new empty directory under the system temporary directory, removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        do
            m_path = fs::temp_directory_path() / ("ecgcomm-test-" + std::to_string(rd()));
        while (!fs::create_directory(m_path));
    }
    ~TempDir() {
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec); // the directory walks enter it
        fs::remove_all(m_path, ec);
    }
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
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Makes <dir>/appdata the application data directory through the machine profile; LOC_WIN.INI
// there gets the given lines of section VELMAR (none when null).
inline void UseProfile(const TempDir& dir, const char* localLines = nullptr) {
    const std::string appData = dir / "appdata";
    fs::create_directories(appData);
#ifdef _WIN32
    WriteProfileStringA("VELMAR", "VelmarAppDataPath", appData.c_str());
#else
    WriteFile(dir / "win.ini", "[VELMAR]\nVelmarAppDataPath=" + appData + "\n");
    setenv("ECGCOMM_WIN_INI", (dir / "win.ini").c_str(), 1);
#endif
    if (localLines != nullptr)
        WriteFile(appData + "/LOC_WIN.INI", std::string("[VELMAR]\n") + localLines);
    ResetAppDataPathCache();
}

// Every message handed to the logging seam while the capture lives, from any thread.
class LogCapture {
public:
    LogCapture() {
        SetLogObserver([this](const std::string& s, const std::string& t, int l) {
            std::lock_guard<std::mutex> g(m_lock);
            m_entries.push_back({s, t, std::to_string(l)});
        });
    }
    ~LogCapture() { SetLogObserver(nullptr); }
    // The texts of one source (of all when empty), in order.
    std::vector<std::string> Texts(const std::string& source = "") const {
        std::lock_guard<std::mutex> g(m_lock);
        std::vector<std::string> texts;
        for (const auto& e : m_entries)
            if (source.empty() || e[0] == source)
                texts.push_back(e[1]);
        return texts;
    }
    // "source|level|text" for each entry, in order.
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> g(m_lock);
        std::vector<std::string> lines;
        for (const auto& e : m_entries)
            lines.push_back(e[0] + "|" + e[2] + "|" + e[1]);
        return lines;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_lock);
        m_entries = {}; // memory too: heap checks compare before and after
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::array<std::string, 3>> m_entries; // source, text, level
};

inline int64_t MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

} // namespace testsupport
