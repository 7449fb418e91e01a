#include "support/logger_fixture.h"

#include "platform/fs.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(LogSettings, OutOfRangeValuesKeepTheDefaults) {
    CErrorLogger logger;
    EXPECT_FALSE(logger.SetMaxFiles(16));
    EXPECT_FALSE(logger.SetMaxFiles(0));
    EXPECT_EQ(logger.MaxFiles(), 5);
    EXPECT_TRUE(logger.SetMaxFiles(1));
    EXPECT_EQ(logger.MaxFiles(), 2) << "one file cannot rotate";
    EXPECT_TRUE(logger.SetMaxFiles(15));
    EXPECT_EQ(logger.MaxFiles(), 15);

    EXPECT_FALSE(logger.SetMaxFileSize(1024));
    EXPECT_FALSE(logger.SetMaxFileSize(1048577));
    EXPECT_EQ(logger.MaxFileSize(), 1048576u);
    EXPECT_TRUE(logger.SetMaxFileSize(1025));
    EXPECT_EQ(logger.MaxFileSize(), 1025u);

    EXPECT_FALSE(logger.SetLevelThreshold(static_cast<uint32_t>(-1)));
    EXPECT_FALSE(logger.SetLevelThreshold(3));
    EXPECT_EQ(logger.LevelThreshold(), 0);

    EXPECT_FALSE(logger.SetWriteInterval(0));
    EXPECT_EQ(logger.WriteInterval(), 10000u);

    EXPECT_FALSE(logger.SetWriterPriority(3));
    EXPECT_EQ(logger.WriterPriority(), -1);
    for (int p : {-15, -2, -1, 0, 1, 2, 15, 0x7FFFFFFF})
        EXPECT_TRUE(logger.SetWriterPriority(p)) << p;
}

TEST(LogSettings, PrefixAndSubdirectoryAreTrimmed) {
    CErrorLogger logger;
    EXPECT_EQ(logger.FilePrefix(), "LogFile");
    EXPECT_EQ(logger.LogSubdirectory(), "LOG");
    logger.SetFilePrefix("   ");
    EXPECT_EQ(logger.FilePrefix(), "LogFile");
    logger.SetFilePrefix(" logfile_ ");
    EXPECT_EQ(logger.FilePrefix(), "logfile_");
    logger.SetLogSubdirectory("\\logs\\");
    EXPECT_EQ(logger.LogSubdirectory(), "logs");
    logger.SetLogSubdirectory(" /logs/ ");
    EXPECT_EQ(logger.LogSubdirectory(), "logs");
    logger.SetLogSubdirectory("  ");
    EXPECT_EQ(logger.LogSubdirectory(), "");
}

TEST(LogDirectory, IsComposedFromBaseAndSubdirectoryAndCreated) {
    TempDir dir;
    CErrorLogger logger;
    logger.SetLogSubdirectory("/logs/");
    ASSERT_TRUE(logger.SetLogDirectory(dir / "data"));
    EXPECT_EQ(logger.LogDirectory(), dir / "data/logs/");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "data/logs"));
    ASSERT_TRUE(logger.SetLogDirectory(dir / "base/"));
    EXPECT_EQ(logger.LogDirectory(), dir / "base/logs/");
    logger.SetLogSubdirectory("");
    ASSERT_TRUE(logger.SetLogDirectory(dir / "plain/"));
    EXPECT_EQ(logger.LogDirectory(), dir / "plain/") << "used as it is";
    ASSERT_TRUE(logger.SetLogDirectory(dir / "noslash"));
    EXPECT_EQ(logger.LogDirectory(), dir / "noslash/");
}

TEST(LogDirectory, EmptyOrUncreatableBaseLeavesNoDirectory) {
    TempDir dir;
    CErrorLogger logger;
    logger.SetLogSubdirectory("");
    ASSERT_TRUE(logger.SetLogDirectory(dir.Path()));
    EXPECT_FALSE(logger.SetLogDirectory(""));
    EXPECT_EQ(logger.LogDirectory(), dir.Path() + "/") << "an empty base changes nothing";
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(logger.SetLogDirectory(dir / "file/sub"));
    EXPECT_EQ(logger.LogDirectory(), "");
}

TEST(LogInitialize, TheProcessSettingsGiveTwoFilesAndKeepInformation) {
    TempDir dir;
    auto logger = StartedLogger(dir);
    ASSERT_TRUE(logger->IsStarted());
    EXPECT_EQ(logger->FileNames(),
              (std::vector<std::string>{dir / "logfile_1.log", dir / "logfile_2.log"}));
    EXPECT_EQ(logger->LevelThreshold(), 2);
    EXPECT_EQ(logger->WriterPriority(), 0);
    EXPECT_EQ(logger->MessageFormat(), 0) << "no LOC_WIN.INI";
    EXPECT_TRUE(logger->Log("ServerMain", "Starting CSI task.", 2));
    logger->Stop();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
              ExpectedHeader() + BlockEntry("Information", "ServerMain", "Starting CSI task."));
}

TEST(LogInitialize, ProfileValueOneSelectsOneLineEntriesAndTwoBlocks) {
    {
        TempDir dir;
        auto logger = StartedLogger(dir, 1);
        logger->Log("ServerMain", "one line", 2);
        logger->Stop();
        EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
                  ExpectedHeader() + "2016-03-07 09:05:01.042  one line\r\n");
    }
    {
        TempDir dir;
        auto logger = StartedLogger(dir, 2);
        logger->Log("ServerMain", "block", 2);
        logger->Stop();
        EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
                  ExpectedHeader() + BlockEntry("Information", "ServerMain", "block"));
    }
}

TEST(LogInitialize, EmptyLogDirectoryPutsTheFilesWhereTheProfileLookUpLeftUs) {
    TempDir dir;
    UseTestProfile(dir, 1);
    CErrorLogger logger;
    logger.SetTimeSource(FixedTime);
    platform::ChangeDirectory(dir.Path());
    ASSERT_TRUE(logger.Initialize("", "", "logfile_", 1, 0x100000, 0, 3600000, 2, true, false));
    logger.Log("S", "here", 2);
    logger.Stop();
    EXPECT_EQ(ReadFile(dir / "appdata/logfile_1.log"),
              ExpectedHeader() + "2016-03-07 09:05:01.042  here\r\n");
}

TEST(LogInstance, DestroyInstanceWritesWhatIsPending) {
    TempDir dir;
    UseTestProfile(dir, 1);
    CErrorLogger* logger = CErrorLogger::GetInstance();
    EXPECT_EQ(logger, CErrorLogger::GetInstance());
    logger->SetTimeSource(FixedTime);
    logger->Initialize(dir.Path(), "", "logfile_", 1, 0x100000, 0, 3600000, 2, true, false);
    logger->Log("S", "last words", 2);
    CErrorLogger::DestroyInstance();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
              ExpectedHeader() + "2016-03-07 09:05:01.042  last words\r\n");
    EXPECT_FALSE(CErrorLogger::GetInstance()->Log("S", "fresh logger is not started", 2));
    CErrorLogger::DestroyInstance();
}

} // namespace
