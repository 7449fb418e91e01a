#include "support/logger_fixture.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

LogEntry Entry(int level, const std::string& source, const std::string& text) {
    LogEntry e;
    e.year = 2016;
    e.month = 3;
    e.day = 7;
    e.hour = 9;
    e.minute = 5;
    e.second = 1;
    e.millisecond = 42;
    e.level = level;
    e.source = source;
    e.text = text;
    return e;
}

TEST(LogEntryFormat, BlockEntryHasLevelSourceAndTextLines) {
    CErrorLogger logger;
    EXPECT_EQ(logger.FormatEntry(Entry(2, "ServerMain", "Starting CSI task.")),
              "2016-03-07 09:05:01.042\r\n"
              "Log Level: Information\r\n"
              "   Source: ServerMain\r\n"
              "     Text: Starting CSI task.\r\n"
              "\r\n");
}

TEST(LogEntryFormat, BlockEntryWithoutSourceHasNoSourceLine) {
    CErrorLogger logger;
    EXPECT_EQ(logger.FormatEntry(Entry(0, "", "x")),
              "2016-03-07 09:05:01.042\r\nLog Level: Error\r\n     Text: x\r\n\r\n");
}

TEST(LogEntryFormat, EveryLevelHasItsWord) {
    CErrorLogger logger;
    const std::pair<int, const char*> words[] = {{2, "Information"}, {1, "Warning"},
                                                 {0, "Error"},       {-1, "Legacy"},
                                                 {-2, "Critical"},   {-5, "Key Event"}};
    for (const auto& w : words)
        EXPECT_NE(logger.FormatEntry(Entry(w.first, "", "t"))
                      .find(std::string("Log Level: ") + w.second + "\r\n"),
                  std::string::npos)
            << w.second;
}

TEST(LogEntryFormat, OneLineEntryIsStampTwoSpacesAndText) {
    CErrorLogger logger;
    logger.SetMessageFormat(1);
    const std::string line = logger.FormatEntry(Entry(2, "ServerMain", "Client logged in."));
    EXPECT_EQ(line, "2016-03-07 09:05:01.042  Client logged in.\r\n");
    logger.SetMessageFormat(2);
    EXPECT_EQ(logger.FormatEntry(Entry(2, "", "a")).substr(0, 25), "2016-03-07 09:05:01.042\r\n");
}

TEST(LogEntryFormat, TextLineBreaksAreKeptUnchanged) {
    CErrorLogger logger;
    logger.SetMessageFormat(1);
    EXPECT_EQ(logger.FormatEntry(Entry(2, "", "a\r\nb")), "2016-03-07 09:05:01.042  a\r\nb\r\n");
}

TEST(LogFilter, NothingIsKeptBeforeStart) {
    CErrorLogger logger;
    EXPECT_FALSE(logger.Log("S", "text", 0));
}

TEST(LogFilter, OnlyLevelsAreKeptAndKeyEventsOnlyWhenSwitchedOn) {
    TempDir dir;
    auto logger = StartedLogger(dir);
    ASSERT_TRUE(logger->IsStarted());
    EXPECT_FALSE(logger->Log("S", "t", 3));
    EXPECT_FALSE(logger->Log("S", "t", -3));
    EXPECT_FALSE(logger->Log("S", "t", -4));
    EXPECT_FALSE(logger->Log("S", "t", -6));
    EXPECT_FALSE(logger->Log("S", "t", -5));
    for (int level : {2, 1, 0, -1, -2})
        EXPECT_TRUE(logger->Log("S", "t", level)) << level;
    logger->SetKeyEvents(true);
    EXPECT_TRUE(logger->Log("S", "t", -5));
    logger->SetStandardLevels(false);
    EXPECT_FALSE(logger->Log("S", "t", 2));
    EXPECT_TRUE(logger->Log("S", "t", -5));
}

TEST(LogFilter, ThresholdZeroDropsInformationAndWarning) {
    TempDir dir;
    auto logger = StartedLogger(dir);
    ASSERT_TRUE(logger->SetLevelThreshold(0));
    EXPECT_FALSE(logger->Log("S", "t", 2));
    EXPECT_FALSE(logger->Log("S", "t", 1));
    EXPECT_TRUE(logger->Log("S", "t", 0));
    ASSERT_TRUE(logger->SetLevelThreshold(2));
    EXPECT_TRUE(logger->Log("S", "t", 2));
}

TEST(LogFilter, EmptyTextIsNotKept) {
    TempDir dir;
    auto logger = StartedLogger(dir);
    EXPECT_FALSE(logger->Log("S", "", 2));
    EXPECT_FALSE(logger->Log("S", nullptr, 2));
    EXPECT_TRUE(logger->Log(nullptr, "no source", 2));
    logger->Flush();
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
              ExpectedHeader() + BlockEntry("Information", "", "no source"));
}

} // namespace
