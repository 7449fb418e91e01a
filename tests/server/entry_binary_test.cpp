// The shipped binary's command-line matrix: exit codes, the directory created while parsing,
// and the log lines it leaves. Only cases that end before a front-end starts, so the tests
// never wait for a serial line.
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <vector>

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Binary : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("ECGCOMM_BINARY_DIR");
        ASSERT_NE(bin, nullptr);
        m_exe = std::string(bin) + "/server/ecgcomm";
        ASSERT_TRUE(std::filesystem::exists(m_exe));
        testsupport::UseTestProfile(m_dir, -1);
    }

    // Runs the binary in the test directory and returns its exit code.
    int Run(const std::vector<std::string>& args) {
        std::string cmd = "cd " + Quote(m_dir.Path()) + " && " + Quote(m_exe);
        for (const auto& a : args)
            cmd += " " + Quote(a);
        cmd += " </dev/null >" + Quote(m_dir / "stdout.txt") + " 2>&1";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string Out() const { return m_dir / "out"; }
    std::vector<std::string> Valid() const {
        return {"-comport", "1", "-baudrate", "576", "-directory", Out(), "-pipename", "ctl"};
    }
    void ExpectInvalid(const std::vector<std::string>& args, const std::string& logDir) {
        EXPECT_EQ(Run(args), 1);
        const std::string log = ReadFile(logDir + "/logfile_1.log");
        EXPECT_NE(log.find("     Text: Unable to start CSI task. Parameters are invalid / "
                           "missing.\r\n"),
                  std::string::npos)
            << log;
    }

    TempDir m_dir;
    std::string m_exe;
};

TEST_F(Binary, WithoutPipeNameExitsWithOneAndLogsStartRefusalAndExit) {
    EXPECT_EQ(Run({"-comport", "1", "-baudrate", "576", "-directory", Out()}), 1);
    const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\r\n)";
    const std::regex expected(
        R"(Log file of system: [^\r\n]*\r\nCreated: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \r\n-{64}\r\n\r\n)" +
        stamp + R"(Log Level: Information\r\n   Source: ServerMain\r\n)" +
        R"(     Text: Starting communication process\. Version V7\.0\.\r\n\r\n)" + stamp +
        R"(Log Level: Error\r\n   Source: ServerMain\r\n)" +
        R"(     Text: Unable to start CSI task\. Parameters are invalid / missing\.\r\n\r\n)" +
        stamp + R"(Log Level: Information\r\n   Source: ServerMain\r\n)" +
        R"(     Text: Exiting communication-process\.\r\n\r\n)");
    const std::string log = ReadFile(Out() + "/logfile_1.log");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
    EXPECT_FALSE(std::filesystem::exists(Out() + "/logfile_2.log"));
}

TEST_F(Binary, SecondRunAppendsToTheSameLogWithoutANewHeader) {
    Run({"-directory", Out()});
    Run({"-directory", Out()});
    const std::string log = ReadFile(Out() + "/logfile_1.log");
    size_t headers = 0, starts = 0;
    for (size_t p = log.find("Log file of system:"); p != std::string::npos;
         p = log.find("Log file of system:", p + 1))
        ++headers;
    for (size_t p = log.find("Version V7.0."); p != std::string::npos;
         p = log.find("Version V7.0.", p + 1))
        ++starts;
    EXPECT_EQ(headers, 1u);
    EXPECT_EQ(starts, 2u);
}

TEST_F(Binary, RejectedValuesMakeTheParametersInvalid) {
    const std::vector<std::pair<std::string, std::string>> rejected = {{"-comport", "0"},
                                                                       {"-comport", "257"},
                                                                       {"-comport", "-1"},
                                                                       {"-baudrate", "57600"},
                                                                       {"-pipename", ""}};
    for (const auto& r : rejected) {
        std::vector<std::string> args = Valid();
        args.push_back(r.first);
        args.push_back(r.second);
        // A later rejected number keeps the earlier accepted one, so replace instead.
        for (size_t i = 0; i + 1 < args.size() - 2; i += 2)
            if (args[i] == r.first)
                args[i + 1] = r.second;
        args.resize(args.size() - 2);
        SCOPED_TRACE(r.first + " " + r.second);
        ExpectInvalid(args, Out());
    }
}

TEST_F(Binary, OneOrTwoModemStringsMakeTheParametersInvalid) {
    auto args = Valid();
    args.insert(args.end(), {"-initstring", "ATZ", "-hangup-prefix", "+++"});
    ExpectInvalid(args, Out());
}

TEST_F(Binary, UnknownOptionWithValueEndsParsingThere) {
    std::vector<std::string> args = {"-comport",       "1",   "-directory", Out(),
                                     "-hangup_prefix", "+++", "-baudrate",  "576",
                                     "-pipename",      "ctl"};
    ExpectInvalid(args, Out());
}

TEST_F(Binary, DirectoryIsCreatedEvenWhenTheParametersAreInvalid) {
    EXPECT_EQ(Run({"-directory", m_dir / "a/b/c", "-comport", "999"}), 1);
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "a/b/c"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "a/b/c/logfile_1.log"));
}

TEST_F(Binary, ValueLikeFirstArgumentEndsParsingAtOnce) {
    EXPECT_EQ(Run({"1", "-directory", Out()}), 1);
    EXPECT_FALSE(std::filesystem::exists(Out()));
    // Without a log directory the files land where the profile look-up left the process.
    EXPECT_NE(ReadFile(m_dir / "appdata/logfile_1.log").find("Parameters are invalid"),
              std::string::npos);
}

TEST_F(Binary, UncreatableDirectoryLogsIntoTheApplicationDataDirectory) {
    WriteFile(m_dir / "file", "x");
    auto args = Valid();
    args[5] = m_dir / "file/sub";
    ExpectInvalid(args, m_dir / "appdata");
}

TEST_F(Binary, LogFileHeldByAnotherWriterLeavesTheProcessWithoutALog) {
    std::filesystem::create_directories(Out());
    WriteFile(Out() + "/logfile_1.log", "held");
    const std::string cmd = "flock " + Quote(Out() + "/logfile_1.log") + " " + Quote(m_exe) +
                            " -directory " + Quote(Out()) + " >/dev/null 2>&1";
    // flock(1) keeps an exclusive lock on the file while the process runs.
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(Out() + "/logfile_1.log"), "held");
}

} // namespace
