// Command-line parsing and validation of the process entry.
#include "server/command_line.h"

#include "server/process_state.h"
#include "tools/misc_tools.h"

#include <cctype>
#include <climits>

int32_t ReadNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1)
            value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int32_t>(value);
}

namespace {

bool IsBaudCode(int32_t n) {
    return n == 48 || n == 96 || n == 192 || n == 384 || n == 576 || n == 1152;
}

void SetString(std::string* target, uint32_t bit, const std::string& value, uint32_t* mask) {
    *target = value;
    if (!value.empty())
        *mask |= bit;
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    int i = 1;
    while (i < argc && argv[i] != nullptr && argv[i][0] == '-') {
        const std::string option = argv[i];
        const bool known = option == "-comport" || option == "-baudrate" ||
                           option == "-directory" || option == "-pipename" ||
                           option == "-initstring" || option == "-hangup-prefix" ||
                           option == "-hangup-suffix";
        if (!known) {
            ++i; // skipped on its own; no value is consumed
            continue;
        }
        const bool hasValue = i + 1 < argc && argv[i + 1] != nullptr;
        const std::string value = hasValue ? argv[i + 1] : std::string();
        if (option == "-comport") {
            const int32_t n = ReadNumber(value);
            // Subtract after the conversion: n - 1 overflows for the smallest int.
            if (static_cast<uint32_t>(n) - 1u <= 255u) {
                cl.comPort = n;
                cl.mask |= PARAM_COMPORT;
            }
        } else if (option == "-baudrate") {
            const int32_t n = ReadNumber(value);
            if (IsBaudCode(n)) {
                cl.baudCode = n;
                cl.mask |= PARAM_BAUDRATE;
            }
        } else if (option == "-directory") {
            // Created now, before logging starts, even if the parameters turn out invalid.
            if (CCommonMiscTools::CreateDirectoryPath(value)) {
                cl.directory = value;
                cl.mask |= PARAM_DIRECTORY;
            }
        } else if (option == "-pipename") {
            SetString(&cl.pipeName, PARAM_PIPENAME, value, &cl.mask);
        } else if (option == "-initstring") {
            SetString(&cl.initString, PARAM_INITSTRING, value, &cl.mask);
        } else if (option == "-hangup-prefix") {
            SetString(&cl.hangupPrefix, PARAM_HANGUP_PREFIX, value, &cl.mask);
        } else {
            SetString(&cl.hangupSuffix, PARAM_HANGUP_SUFFIX, value, &cl.mask);
        }
        if (!hasValue)
            break;
        i += 2;
    }
    return cl;
}

bool ValidateParameters(uint32_t mask) {
    const uint32_t required = PARAM_COMPORT | PARAM_BAUDRATE | PARAM_DIRECTORY | PARAM_PIPENAME;
    if ((mask & required) != required)
        return false;
    const uint32_t modem = mask >> 4;
    if (modem == 7) {
        g_bUseModem = true;
        return true;
    }
    if (modem == 0) {
        g_bUseModem = false;
        return true;
    }
    return false;
}
