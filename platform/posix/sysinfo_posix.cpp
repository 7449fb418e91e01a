// Linux machine facts: host name, environment and TMPDIR.
#include "platform/sysinfo.h"

#include <cctype>
#include <cstdlib>
#include <unistd.h>

namespace platform {

std::string ComputerName() {
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0)
        return std::string();
    std::string name(host);
    const size_t dot = name.find('.');
    if (dot != std::string::npos)
        name.resize(dot);
    if (name.size() > 15)
        name.resize(15);
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string EnvironmentValue(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t open = text.find('%', pos);
        if (open == std::string::npos)
            break;
        const size_t close = text.find('%', open + 1);
        if (close == std::string::npos)
            break;
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        out += text.substr(pos, open - pos);
        if (value) {
            out += value;
            pos = close + 1;
        } else {
            // Left as written; the closing % may open the next name.
            out += text.substr(open, close - open);
            pos = close;
        }
    }
    out += text.substr(pos);
    return out;
}

std::string TempDirectory() {
    std::string dir = EnvironmentValue("TMPDIR");
    if (dir.empty())
        dir = "/tmp/";
    if (dir.back() != '/')
        dir += '/';
    return dir;
}

} // namespace platform
