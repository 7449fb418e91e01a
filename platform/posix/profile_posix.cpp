// Linux stand-in for the Win32 profile functions: a small INI reader with the same rules
// (section and key case-insensitive, blanks trimmed, first match wins, empty means default).
#include "platform/profile.h"

#include "platform/sysinfo.h"

#include <cctype>
#include <fstream>

namespace platform {
namespace {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The raw value of the first matching key, trimmed; false when the file, section or key is
// missing.
bool FindValue(const std::string& path, const std::string& section, const std::string& key,
               std::string* value) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        const std::string t = Trim(line);
        if (t.empty() || t[0] == ';')
            continue;
        if (t[0] == '[') {
            const size_t close = t.find(']');
            inSection =
                close != std::string::npos && SameNoCase(Trim(t.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection)
            continue;
        const size_t eq = t.find('=');
        if (eq == std::string::npos)
            continue;
        if (SameNoCase(Trim(t.substr(0, eq)), key)) {
            std::string v = Trim(t.substr(eq + 1));
            // A value in matching quotes is given without them, as Windows does.
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            *value = v;
            return true;
        }
    }
    return false;
}

} // namespace

std::string ProfileLocation() {
    const std::string configured = EnvironmentValue("ECGCOMM_WIN_INI");
    return configured.empty() ? std::string("/etc/ecgcomm/win.ini") : configured;
}

std::string PrivateProfileString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue, const std::string& path) {
    std::string value;
    if (!FindValue(path, section, key, &value) || value.empty())
        return defaultValue;
    return value;
}

std::string ProfileString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) {
    return PrivateProfileString(section, key, defaultValue, ProfileLocation());
}

uint32_t PrivateProfileInt(const std::string& section, const std::string& key,
                           uint32_t defaultValue, const std::string& path) {
    std::string value;
    if (!FindValue(path, section, key, &value) || value.empty())
        return defaultValue;
    size_t i = 0;
    bool negative = false;
    if (value[i] == '-' || value[i] == '+')
        negative = value[i++] == '-';
    if (i >= value.size() || !std::isdigit(static_cast<unsigned char>(value[i])))
        return defaultValue;
    uint32_t n = 0;
    for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i)
        n = n * 10u + static_cast<uint32_t>(value[i] - '0');
    return negative ? 0u - n : n;
}

} // namespace platform
