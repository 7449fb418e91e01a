// Helpers of the Windows-only tests: a fresh directory under the Windows temporary directory,
// WIN.INI keys that are removed again, and whole-file reads. Windows test programs only.
#pragma once
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace wintest {

// A new empty directory "ecgwin-<n>" under GetTempPathA, removed with its content at the end.
class WinTempDir {
public:
    WinTempDir() {
        char base[MAX_PATH + 1] = {0};
        GetTempPathA(sizeof base, base);
        for (unsigned n = GetTickCount();; ++n) {
            m_path = std::string(base) + "ecgwin-" + std::to_string(n);
            if (CreateDirectoryA(m_path.c_str(), nullptr))
                break;
        }
    }
    ~WinTempDir() {
        // Leave the directory first: Windows refuses to remove a current directory.
        char base[MAX_PATH + 1] = {0};
        GetTempPathA(sizeof base, base);
        SetCurrentDirectoryA(base);
        RemoveTree(m_path);
    }
    WinTempDir(const WinTempDir&) = delete;
    WinTempDir& operator=(const WinTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    static void RemoveTree(const std::string& dir) {
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &data);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                const std::string name = data.cFileName;
                if (name == "." || name == "..")
                    continue;
                const std::string path = dir + "\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveTree(path);
                else
                    DeleteFileA(path.c_str());
            } while (FindNextFileA(h, &data));
            FindClose(h);
        }
        RemoveDirectoryA(dir.c_str());
    }
    std::string m_path;
};

// Sets a key in WIN.INI for the lifetime of the object; the key is deleted afterwards.
class WinIniKey {
public:
    WinIniKey(const char* section, const char* key, const std::string& value)
        : m_section(section), m_key(key) {
        WriteProfileStringA(section, key, value.c_str());
    }
    ~WinIniKey() { WriteProfileStringA(m_section.c_str(), m_key.c_str(), nullptr); }
    WinIniKey(const WinIniKey&) = delete;
    WinIniKey& operator=(const WinIniKey&) = delete;

private:
    std::string m_section;
    std::string m_key;
};

// Sets an environment variable for the lifetime of the object, restoring the old value.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        char old[4096];
        const DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
        m_had = n > 0 && n < sizeof old;
        if (m_had)
            m_old = old;
        SetEnvironmentVariableA(name, value.c_str());
    }
    ~ScopedEnv() { SetEnvironmentVariableA(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool IsDirectory(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline std::string CurrentDir() {
    char buffer[MAX_PATH + 1] = {0};
    GetCurrentDirectoryA(sizeof buffer, buffer);
    return buffer;
}

} // namespace wintest
