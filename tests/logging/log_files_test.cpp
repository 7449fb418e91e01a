#include "support/logger_fixture.h"

#include <gtest/gtest.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

// Sets a file's last-write time to the given number of seconds after an arbitrary epoch.
void Age(const std::string& path, int seconds) {
    fs::last_write_time(path, fs::file_time_type(std::chrono::hours(24 * 365 * 50)) +
                                  std::chrono::seconds(seconds));
}

// A logger on dir with n files of at most maxSize bytes, not yet opened.
std::unique_ptr<CErrorLogger> Configured(const TempDir& dir, uint16_t n,
                                         int32_t maxSize = 0x100000) {
    auto logger = std::make_unique<CErrorLogger>();
    logger->SetTimeSource(FixedTime);
    logger->SetLogSubdirectory("");
    logger->SetFilePrefix("logfile_");
    EXPECT_TRUE(logger->SetLogDirectory(dir.Path()));
    EXPECT_TRUE(logger->SetMaxFiles(n));
    EXPECT_TRUE(logger->SetMaxFileSize(maxSize));
    return logger;
}

TEST(LogFiles, FirstRunCreatesOnlyFileOneWithTheHeader) {
    TempDir dir;
    auto logger = Configured(dir, 2);
    ASSERT_TRUE(logger->OpenLogFiles());
    logger->CloseLogFile();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), ExpectedHeader());
    EXPECT_FALSE(fs::exists(dir / "logfile_2.log"));
    EXPECT_EQ(logger->FileNames(),
              (std::vector<std::string>{dir / "logfile_1.log", dir / "logfile_2.log"}));
}

TEST(LogFiles, RunContinuesAtTheEndOfTheFileWrittenLast) {
    TempDir dir;
    WriteFile(dir / "logfile_1.log", "one");
    WriteFile(dir / "logfile_2.log", "two");
    Age(dir / "logfile_1.log", 10);
    Age(dir / "logfile_2.log", 20);
    auto logger = Configured(dir, 2);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_2.log");
    ASSERT_TRUE(logger->WriteText("+"));
    logger->CloseLogFile();
    EXPECT_EQ(ReadFile(dir / "logfile_2.log"), "two+") << "no second header";
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), "one");
}

TEST(LogFiles, FileOneNewerThanTheLastMeansFileOne) {
    TempDir dir;
    for (int i = 1; i <= 3; ++i)
        WriteFile(dir / ("logfile_" + std::to_string(i) + ".log"), "x");
    Age(dir / "logfile_1.log", 30);
    Age(dir / "logfile_2.log", 30);
    Age(dir / "logfile_3.log", 20);
    auto logger = Configured(dir, 3);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_2.log") << "the drop after file 2";

    Age(dir / "logfile_1.log", 40);
    Age(dir / "logfile_2.log", 10);
    Age(dir / "logfile_3.log", 20);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_1.log");
}

TEST(LogFiles, AllFilesWithOneDateStayAtFileOneAndAnAscendingSetPicksTheLast) {
    TempDir dir;
    for (int i = 1; i <= 3; ++i) {
        WriteFile(dir / ("logfile_" + std::to_string(i) + ".log"), "x");
        Age(dir / ("logfile_" + std::to_string(i) + ".log"), 10);
    }
    auto logger = Configured(dir, 3);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_1.log") << "ties are no drop";
    Age(dir / "logfile_2.log", 20);
    Age(dir / "logfile_3.log", 30);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_3.log");
}

TEST(LogFiles, NumberingStopsAtTheFirstMissingFile) {
    TempDir dir;
    WriteFile(dir / "logfile_1.log", "1");
    WriteFile(dir / "logfile_3.log", "3");
    Age(dir / "logfile_1.log", 10);
    Age(dir / "logfile_3.log", 20);
    auto logger = Configured(dir, 3);
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_1.log");

    WriteFile(dir / "logfile_2.log", "2");
    Age(dir / "logfile_2.log", 15);
    fs::remove(dir / "logfile_3.log");
    ASSERT_TRUE(logger->OpenLogFiles());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_2.log") << "the highest existing file";
}

TEST(LogFiles, FileAtTheMaximumSizeAtStartUpRotatesToATruncatedNextFile) {
    TempDir dir;
    WriteFile(dir / "logfile_1.log", std::string(1025, 'a'));
    WriteFile(dir / "logfile_2.log", "older");
    Age(dir / "logfile_1.log", 20);
    Age(dir / "logfile_2.log", 10);
    auto logger = Configured(dir, 2, 1025);
    ASSERT_TRUE(logger->OpenLogFiles());
    logger->CloseLogFile();
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_2.log");
    EXPECT_EQ(ReadFile(dir / "logfile_2.log"), ExpectedHeader());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log").size(), 1025u);
}

TEST(LogFiles, ExistingEmptyFileReceivesTheHeader) {
    TempDir dir;
    WriteFile(dir / "logfile_1.log", "");
    auto logger = Configured(dir, 2);
    ASSERT_TRUE(logger->OpenLogFiles());
    ASSERT_TRUE(logger->WriteText("e"));
    logger->CloseLogFile();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), ExpectedHeader() + "e");
}

TEST(LogFiles, FileHeldOpenForWritingElsewhereMakesStartUpFail) {
    TempDir dir;
    WriteFile(dir / "logfile_1.log", "busy");
    platform::SharedReadFile holder; // another writer of the same file
    ASSERT_TRUE(holder.OpenAlways(dir / "logfile_1.log"));
    auto logger = StartedLogger(dir);
    EXPECT_FALSE(logger->IsStarted());
    EXPECT_FALSE(logger->Log("S", "lost", 2));
    holder.Close();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), "busy");
}

TEST(LogFiles, MissingDirectoryMakesOpeningFail) {
    TempDir dir;
    auto logger = Configured(dir, 2);
    fs::remove_all(dir.Path());
    EXPECT_FALSE(logger->OpenLogFiles());
}

TEST(LogRotation, FlushPastTheMaximumMovesToTheNextFileAndWrapsAround) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1, 3600000, 1025);
    ASSERT_TRUE(logger->IsStarted());
    const std::string text(200, 'x');
    const size_t line = 23 + 2 + 200 + 2;
    // Fill file 1 beyond the limit: one flush may overshoot, the next one rotates.
    for (int i = 0; i < 5; ++i)
        logger->Log("S", text.c_str(), 2);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log").size(), ExpectedHeader().size() + 5 * line);
    logger->Log("S", "second", 2);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_2.log");
    EXPECT_EQ(ReadFile(dir / "logfile_2.log"),
              ExpectedHeader() + "2016-03-07 09:05:01.042  second\r\n");
    for (int i = 0; i < 5; ++i)
        logger->Log("S", text.c_str(), 2);
    ASSERT_TRUE(logger->Flush());
    logger->Log("S", "third", 2);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(logger->CurrentFile(), dir / "logfile_1.log") << "wraps to the oldest";
    logger->Stop();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
              ExpectedHeader() + "2016-03-07 09:05:01.042  third\r\n");
}

} // namespace
