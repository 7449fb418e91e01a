// Fuzz target: the command-line parser. Input: arguments separated by NUL bytes. Parsing
// creates the destination directory, so the target works inside a scratch directory and turns
// path separators into '_' to keep every creation inside it. Checked: every accepted value is
// within its documented range, the validation agrees with the mask, and ReadNumber matches the
// C library's strtoll clamped to 32 bits. Creating a directory walks into it (the current
// directory changes), so each run starts in the scratch directory again, and an accepted
// relative directory is only checked on disk when no other -directory walked on afterwards.
#include "fuzz/fuzz_support.h"
#include "server/command_line.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path g_scratch;
int g_runs = 0;

int32_t Reference(const std::string& text) {
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int32_t>(v);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_scratch = fuzz::ScratchRoot() /
                ("ecgcomm-fuzz-cl-" +
                 std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(g_scratch);
    fs::current_path(g_scratch);
    std::atexit([] {
        std::error_code ec;
        fs::current_path(g_scratch.parent_path(), ec);
        fs::remove_all(g_scratch, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fs::current_path(g_scratch);
    std::vector<std::string> args = {"ecgcomm"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 40; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '\0') {
            args.push_back(current);
            current.clear();
            continue;
        }
        if (c == '/' || c == '\\')
            c = '_';
        current += c;
    }
    if (!current.empty())
        args.push_back(current);
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());

    const CommandLine cl = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    FUZZ_CHECK((cl.mask & ~0x7Fu) == 0);
    if (cl.mask & PARAM_COMPORT)
        FUZZ_CHECK(cl.comPort >= 1 && cl.comPort <= 256);
    else
        FUZZ_CHECK(cl.comPort == 1);
    if (cl.mask & PARAM_BAUDRATE)
        FUZZ_CHECK(cl.baudCode == 48 || cl.baudCode == 96 || cl.baudCode == 192 ||
                   cl.baudCode == 384 || cl.baudCode == 576 || cl.baudCode == 1152);
    else
        FUZZ_CHECK(cl.baudCode == 576);
    const auto walks = std::count(args.begin(), args.end(), std::string("-directory"));
    if (cl.mask & PARAM_DIRECTORY)
        FUZZ_CHECK(!cl.directory.empty() && (walks > 1 || fs::is_directory(cl.directory)));
    const uint32_t required = PARAM_COMPORT | PARAM_BAUDRATE | PARAM_DIRECTORY | PARAM_PIPENAME;
    const uint32_t modem = cl.mask >> 4;
    const bool expected = (cl.mask & required) == required && (modem == 0 || modem == 7);
    FUZZ_CHECK(ValidateParameters(cl.mask) == expected);

    for (const auto& a : args)
        FUZZ_CHECK(ReadNumber(a) == Reference(a));

    // Keep the scratch directory small over millions of runs.
    if (++g_runs % 512 == 0) {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(g_scratch, ec))
            fs::remove_all(e.path(), ec);
    }
    return 0;
}
