#include "server/command_line.h"
#include "server/process_state.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <vector>

using testsupport::TempDir;

namespace {

CommandLine Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "ecgcomm");
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(ReadNumber, ReadsLikeAtoi) {
    EXPECT_EQ(ReadNumber("576"), 576);
    EXPECT_EQ(ReadNumber("  -1"), -1);
    EXPECT_EQ(ReadNumber("+12x"), 12);
    EXPECT_EQ(ReadNumber("x12"), 0);
    EXPECT_EQ(ReadNumber(""), 0);
    EXPECT_EQ(ReadNumber("99999999999"), 2147483647) << "saturates instead of wrapping";
    EXPECT_EQ(ReadNumber("-99999999999"), -2147483647 - 1);
}

TEST(CommandLineParse, ComPortRange) {
    EXPECT_EQ(Parse({"-comport", "256"}).mask, PARAM_COMPORT);
    EXPECT_EQ(Parse({"-comport", "256"}).comPort, 256);
    EXPECT_EQ(Parse({"-comport", "1"}).mask, PARAM_COMPORT);
    for (const char* bad : {"0", "257", "-1", "abc", "4294967297"}) {
        const CommandLine cl = Parse({"-comport", bad});
        EXPECT_EQ(cl.mask, 0u) << bad;
        EXPECT_EQ(cl.comPort, 1) << bad;
    }
}

TEST(CommandLineParse, OnlyTheSixBaudCodesCount) {
    for (int code : {48, 96, 192, 384, 576, 1152}) {
        const CommandLine cl = Parse({"-baudrate", std::to_string(code)});
        EXPECT_EQ(cl.mask, PARAM_BAUDRATE);
        EXPECT_EQ(cl.baudCode, code);
    }
    for (const char* bad : {"57600", "0", "115200", "100"})
        EXPECT_EQ(Parse({"-baudrate", bad}).mask, 0u) << bad;
}

TEST(CommandLineParse, DirectoryIsCreatedWhileParsing) {
    TempDir dir;
    const CommandLine cl = Parse({"-directory", dir / "new/deeper", "-comport", "x"});
    EXPECT_EQ(cl.mask, PARAM_DIRECTORY);
    EXPECT_EQ(cl.directory, dir / "new/deeper");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "new/deeper"));
}

TEST(CommandLineParse, RepeatedOptionsKeepTheLastAcceptedValue) {
    TempDir dir;
    const CommandLine cl =
        Parse({"-comport", "3", "-comport", "999", "-directory", dir.Path(), "-directory", "",
               "-pipename", "p1", "-pipename", "", "-baudrate", "96", "-baudrate", "192"});
    EXPECT_EQ(cl.comPort, 3) << "a rejected number keeps the earlier one";
    EXPECT_EQ(cl.directory, dir.Path()) << "a rejected directory keeps the earlier one";
    EXPECT_EQ(cl.pipeName, "") << "a later empty string empties the value";
    EXPECT_EQ(cl.baudCode, 192);
    EXPECT_EQ(cl.mask, PARAM_COMPORT | PARAM_BAUDRATE | PARAM_DIRECTORY | PARAM_PIPENAME)
        << "bits are never cleared";
}

TEST(CommandLineParse, UnknownOptionIsSkippedAndAValueLikeArgumentEndsParsing) {
    const CommandLine cl =
        Parse({"-verbose", "-comport", "2", "-hangup_prefix", "+++", "-baudrate", "96"});
    EXPECT_EQ(cl.mask, PARAM_COMPORT) << "parsing ended at +++";
    EXPECT_EQ(Parse({"2", "-comport", "2"}).mask, 0u);
}

TEST(CommandLineParse, OptionNamesAreCaseSensitive) {
    EXPECT_EQ(Parse({"-COMPORT", "2"}).mask, 0u);
    EXPECT_EQ(Parse({"-comport", "2", "-Baudrate", "96"}).mask, PARAM_COMPORT);
}

TEST(CommandLineParse, OptionWithoutValueEndsParsing) {
    EXPECT_EQ(Parse({"-comport"}).mask, 0u);
    const CommandLine cl = Parse({"-pipename", "p", "-pipename"});
    EXPECT_EQ(cl.pipeName, "");
    EXPECT_EQ(cl.mask, PARAM_PIPENAME);
}

TEST(CommandLineParse, StringOptionsSetTheirBitsWhenNotEmpty) {
    const CommandLine cl = Parse(
        {"-initstring", "ATZ", "-hangup-prefix", "+++", "-hangup-suffix", "ATH0", "-pipename", ""});
    EXPECT_EQ(cl.mask, PARAM_INITSTRING | PARAM_HANGUP_PREFIX | PARAM_HANGUP_SUFFIX);
    EXPECT_EQ(cl.initString, "ATZ");
    EXPECT_EQ(cl.hangupPrefix, "+++");
    EXPECT_EQ(cl.hangupSuffix, "ATH0");
}

TEST(ValidateParameters, RequiredOptionsAndAllOrNoModemStrings) {
    const uint32_t required = 0x0F;
    EXPECT_TRUE(ValidateParameters(required));
    EXPECT_FALSE(g_bUseModem);
    EXPECT_TRUE(ValidateParameters(required | 0x70));
    EXPECT_TRUE(g_bUseModem);
    g_bUseModem = false;
    for (uint32_t partial : {0x10u, 0x20u, 0x40u, 0x30u, 0x50u, 0x60u})
        EXPECT_FALSE(ValidateParameters(required | partial)) << partial;
    for (uint32_t missing : {0x01u, 0x02u, 0x04u, 0x08u})
        EXPECT_FALSE(ValidateParameters((required & ~missing) | 0x70)) << missing;
}

} // namespace
