// The command line of the communication process: options, their acceptance rules and the
// parameter mask. Parsing creates the destination directory as a side effect, before the log
// exists; nothing here logs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Bits of the parameter mask, one per accepted option.
enum : uint32_t {
    PARAM_COMPORT = 0x01,
    PARAM_BAUDRATE = 0x02,
    PARAM_DIRECTORY = 0x04,
    PARAM_PIPENAME = 0x08,
    PARAM_INITSTRING = 0x10,
    PARAM_HANGUP_PREFIX = 0x20,
    PARAM_HANGUP_SUFFIX = 0x40,
};

struct CommandLine {
    int32_t comPort = 1;
    int32_t baudCode = 576;
    std::string directory;
    std::string pipeName;
    std::string initString;
    std::string hangupPrefix;
    std::string hangupSuffix;
    uint32_t mask = 0;

    // What parsing saw, so that a person can be told what is wrong; nothing decides on it.
    uint32_t given = 0;                // a bit per option that appeared at all
    std::vector<std::string> rejected; // per bit (index 0..6): why its last value was refused
    std::vector<std::string> unknown;  // options skipped as unknown
    std::string stoppedAt;             // the argument where parsing ended, if not at the end
};

// argv[0] is the program name. Parsing stops at the first argument that does not begin with
// "-" where an option is expected; unknown options are skipped on their own.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The C library's atoi, made definite for values out of range (they saturate).
int32_t ReadNumber(const std::string& text);

// Valid when all four required options were accepted and either all or none of the three
// modem strings; sets g_bUseModem for the modem case.
bool ValidateParameters(uint32_t mask);

// For a command line that did not validate: what is wrong, in one line without a line end
// ("-comport "0" rejected (allowed: 1 to 256); missing -pipename").
std::string DescribeInvalidParameters(const CommandLine& commandLine);

// The usage synopsis, two lines, each ending with a line end.
extern const char* const kUsage;
