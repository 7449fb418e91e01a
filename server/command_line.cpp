// Command-line parsing and validation of the process entry.
#include "server/command_line.h"

#include "server/process_state.h"
#include "tools/misc_tools.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <iterator>

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

const char* const kUsage =
    "usage: ecgcomm -comport <1..256> -baudrate <48|96|192|384|576|1152> -directory <dir>\n"
    "               -pipename <name|nopipe> [-initstring <s> -hangup-prefix <s> "
    "-hangup-suffix <s>]\n";

namespace {

// The options in the order of their mask bits.
const char* const kOptions[] = {"-comport",    "-baudrate",      "-directory",    "-pipename",
                                "-initstring", "-hangup-prefix", "-hangup-suffix"};
constexpr int kOptionCount = 7;

bool IsBaudCode(int32_t n) {
    return n == 48 || n == 96 || n == 192 || n == 384 || n == 576 || n == 1152;
}

void SetString(std::string* target, uint32_t bit, const std::string& value, CommandLine* cl) {
    *target = value;
    if (!value.empty())
        cl->mask |= bit;
}

void Reject(CommandLine* cl, int index, const std::string& value, const char* why) {
    cl->rejected[index] = std::string(kOptions[index]) + " \"" + value + "\" " + why;
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine cl;
    cl.rejected.resize(kOptionCount);
    int i = 1;
    while (i < argc && argv[i] != nullptr && argv[i][0] == '-') {
        const std::string option = argv[i];
        int index = 0;
        while (index < kOptionCount && option != kOptions[index])
            ++index;
        if (index == kOptionCount) {
            cl.unknown.push_back(option);
            ++i; // skipped on its own; no value is consumed
            continue;
        }
        const uint32_t bit = 1u << index;
        cl.given |= bit;
        const bool hasValue = i + 1 < argc && argv[i + 1] != nullptr;
        const std::string value = hasValue ? argv[i + 1] : std::string();
        if (bit == PARAM_COMPORT) {
            const int32_t n = ReadNumber(value);
            // Subtract after the conversion: n - 1 overflows for the smallest int.
            if (static_cast<uint32_t>(n) - 1u <= 255u) {
                cl.comPort = n;
                cl.mask |= PARAM_COMPORT;
            } else {
                Reject(&cl, index, value, "rejected (allowed: 1 to 256)");
            }
        } else if (bit == PARAM_BAUDRATE) {
            const int32_t n = ReadNumber(value);
            if (IsBaudCode(n)) {
                cl.baudCode = n;
                cl.mask |= PARAM_BAUDRATE;
            } else {
                Reject(&cl, index, value, "rejected (allowed: 48, 96, 192, 384, 576, 1152)");
            }
        } else if (bit == PARAM_DIRECTORY) {
            // Created now, before logging starts, even if the parameters turn out invalid.
            if (CCommonMiscTools::CreateDirectoryPath(value)) {
                cl.directory = value;
                cl.mask |= PARAM_DIRECTORY;
            } else {
                Reject(&cl, index, value, "cannot be created");
            }
        } else {
            std::string* targets[] = {&cl.pipeName, &cl.initString, &cl.hangupPrefix,
                                      &cl.hangupSuffix};
            SetString(targets[index - 3], bit, value, &cl);
            if (value.empty())
                Reject(&cl, index, value, "rejected (empty)");
        }
        if (!hasValue) {
            cl.rejected[index] = std::string(kOptions[index]) + " has no value";
            break;
        }
        i += 2;
    }
    if (i < argc && argv[i] != nullptr)
        cl.stoppedAt = argv[i];
    return cl;
}

std::string DescribeInvalidParameters(const CommandLine& cl) {
    std::vector<std::string> parts;
    std::transform(cl.unknown.begin(), cl.unknown.end(), std::back_inserter(parts),
                   [](const std::string& option) { return "unknown option \"" + option + "\""; });
    if (!cl.stoppedAt.empty())
        parts.push_back("\"" + cl.stoppedAt + "\" is not an option, so it and all after it " +
                        "were ignored");
    std::string missing;
    for (int index = 0; index < 4; ++index) {
        const uint32_t bit = 1u << index;
        if ((cl.mask & bit) != 0)
            continue;
        if ((cl.given & bit) != 0)
            parts.push_back(cl.rejected[static_cast<size_t>(index)]);
        else
            missing += std::string(missing.empty() ? "" : ", ") + kOptions[index];
    }
    if (!missing.empty())
        parts.push_back("missing " + missing);
    const uint32_t modem = (cl.mask >> 4) & 7u;
    if (modem != 0 && modem != 7) {
        std::string absent;
        for (int index = 4; index < kOptionCount; ++index)
            if ((cl.mask & (1u << index)) == 0)
                absent += std::string(absent.empty() ? "" : ", ") + kOptions[index];
        parts.push_back("-initstring, -hangup-prefix and -hangup-suffix go together (missing " +
                        absent + ")");
    }
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : "; ") + part;
    return text;
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
