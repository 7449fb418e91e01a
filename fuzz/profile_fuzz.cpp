// Fuzz target: the profile (INI) reader on arbitrary file contents. Input: [selector][file].
// The selector picks the section and key asked for. Checked: a missing or empty value gives
// the default, a found value is never empty, and the integer reader agrees
// with the string reader on the same key (leading digits after an optional sign, modulo 2^32,
// else the default).
#include "fuzz/fuzz_support.h"
#include "platform/profile.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

std::string g_path;

const char* const kSections[] = {"CSI", "csi", "Log", "", "[x]"};
const char* const kKeys[] = {"Level", "level", "Path", "", "a=b"};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader takes a path, so each run writes a file.
    g_path =
        (fuzz::ScratchRoot() /
         ("ecgcomm-fuzz-ini-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".ini"))
            .string();
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    FILE* f = std::fopen(g_path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
    const std::string section = kSections[data[0] % 5];
    const std::string key = kKeys[(data[0] / 5) % 5];

    // Two different defaults tell "not found" apart from a value that equals one of them.
    const std::string a = platform::PrivateProfileString(section, key, "<a>", g_path);
    const std::string b = platform::PrivateProfileString(section, key, "<b>", g_path);
    const bool found = a == b;
    FUZZ_CHECK(found || (a == "<a>" && b == "<b>"));
    if (found)
        FUZZ_CHECK(!a.empty());

    const uint32_t n1 = platform::PrivateProfileInt(section, key, 0xDEADBEEFu, g_path);
    const uint32_t n2 = platform::PrivateProfileInt(section, key, 0x12345678u, g_path);
    if (!found) {
        FUZZ_CHECK(n1 == 0xDEADBEEFu && n2 == 0x12345678u);
        return 0;
    }
    size_t i = 0;
    bool negative = false;
    if (a[0] == '-' || a[0] == '+')
        negative = a[i++] == '-';
    if (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i]))) {
        uint32_t n = 0;
        for (; i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])); ++i)
            n = n * 10u + static_cast<uint32_t>(a[i] - '0');
        if (negative)
            n = 0u - n;
        FUZZ_CHECK(n1 == n && n2 == n);
    } else {
        FUZZ_CHECK(n1 == 0xDEADBEEFu && n2 == 0x12345678u);
    }
    return 0;
}
