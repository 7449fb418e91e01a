#include "support/logger_fixture.h"

#include <gtest/gtest.h>
#include <thread>

using namespace testsupport;

namespace {

std::string OneLine(const std::string& text) {
    return "2016-03-07 09:05:01.042  " + text + "\r\n";
}

TEST(LogRing, NineHundredNinetyNineEntriesBetweenFlushesAreAllWritten) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    std::string expected = ExpectedHeader();
    for (int i = 1; i <= 999; ++i) {
        ASSERT_TRUE(logger->Log("S", ("m" + std::to_string(i)).c_str(), 2));
        expected += OneLine("m" + std::to_string(i));
    }
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), expected);
}

TEST(LogRing, TheThousandthEntryDropsTheOldestAndTheNextFlushSaysSo) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    for (int i = 1; i <= 1000; ++i)
        ASSERT_TRUE(logger->Log("S", ("m" + std::to_string(i)).c_str(), 2));
    EXPECT_EQ(logger->LostEntries(), 1u);
    ASSERT_TRUE(logger->Flush());
    std::string expected = ExpectedHeader() +
                           "2016-03-07 09:05:01 Level=\"Warning\" Source=\"Error Logging Tool\" "
                           "Text=\"Message buffer overflow - 1 entries lost\"\r\n";
    for (int i = 2; i <= 1000; ++i)
        expected += OneLine("m" + std::to_string(i));
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), expected);
    EXPECT_EQ(logger->LostEntries(), 0u);

    // The ring goes on across the wrap, and the notice is not repeated.
    ASSERT_TRUE(logger->Log("S", "after", 2));
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), expected + OneLine("after"));
}

TEST(LogRing, EntriesStayInOrderAcrossManyWraps) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    std::string expected = ExpectedHeader();
    int n = 0;
    for (int round = 0; round < 7; ++round) {
        for (int i = 0; i < 400; ++i, ++n) {
            logger->Log("S", std::to_string(n).c_str(), 2);
            expected += OneLine(std::to_string(n));
        }
        ASSERT_TRUE(logger->Flush());
    }
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), expected);
}

TEST(LogCritical, IsInTheFileWhenLogReturnsWithEverythingBefore) {
    TempDir dir;
    auto logger = StartedLogger(dir);
    logger->Log("ServerMain", "first", 2);
    ASSERT_TRUE(logger->Log("ServerMain", "bad", -2));
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"),
              ExpectedHeader() + BlockEntry("Information", "ServerMain", "first") +
                  BlockEntry("Critical", "ServerMain", "bad"));
}

TEST(LogCritical, EmptyCriticalTextIsNotKeptButStillFlushes) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    logger->Log("S", "pending", 1);
    EXPECT_FALSE(logger->Log("S", "", -2));
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), ExpectedHeader() + OneLine("pending"));
}

TEST(LogStop, WritesEverythingKeptBeforeItAndClosesTheFile) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    logger->Log("S", "a", 2);
    logger->Log("S", "b", 0);
    EXPECT_TRUE(logger->Stop());
    EXPECT_FALSE(logger->IsWriterRunning());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), ExpectedHeader() + OneLine("a") + OneLine("b"));
    // Kept after the final flush: stays in memory.
    EXPECT_TRUE(logger->Log("S", "late", 2));
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), ExpectedHeader() + OneLine("a") + OneLine("b"));
    platform::SharedReadFile again;
    EXPECT_TRUE(again.OpenAlways(dir / "logfile_1.log")) << "the file was released";
}

TEST(LogWriter, WritesKeptEntriesOnItsOwnEachInterval) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1, 20);
    ASSERT_TRUE(logger->IsWriterRunning());
    logger->Log("S", "by the writer", 2);
    const std::string expected = ExpectedHeader() + OneLine("by the writer");
    // Generous: the writer wakes every 20 ms; a loaded machine may be slow.
    for (int i = 0; i < 500 && ReadFile(dir / "logfile_1.log") != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), expected);
}

TEST(LogWriter, WithoutAnOpenFileEntriesWaitAndAreCountedWhenTheRingFills) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1);
    logger->CloseLogFile();
    const std::string before = ReadFile(dir / "logfile_1.log");
    for (int i = 0; i < 1005; ++i)
        logger->Log("S", "x", 2);
    EXPECT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(dir / "logfile_1.log"), before);
    EXPECT_EQ(logger->LostEntries(), 6u);
    EXPECT_FALSE(std::filesystem::exists(dir / "logfile_2.log"));
}

TEST(LogWriter, ConcurrentLoggersLoseNothingBelowTheRingSize) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1, 5);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 200; ++i)
                logger->Log("S", ("t" + std::to_string(t) + "-" + std::to_string(i)).c_str(), 2);
        });
    for (auto& th : threads)
        th.join();
    logger->Stop();
    const std::string content = ReadFile(dir / "logfile_1.log");
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 200; ++i) {
            const std::string line = OneLine("t" + std::to_string(t) + "-" + std::to_string(i));
            const size_t at = content.find(line);
            ASSERT_NE(at, std::string::npos) << line;
            EXPECT_EQ(content.find(line, at + 1), std::string::npos) << "written twice: " << line;
        }
}

} // namespace

#include <csignal>
#include <sys/resource.h>

namespace {

// A file size limit makes the next write fail the way a full disk would.
TEST(LogWriter, AFailedFlushEndsTheWriterAndOnlyCriticalMessagesStillWrite) {
    TempDir dir;
    auto logger = StartedLogger(dir, 1, 20);
    ASSERT_TRUE(logger->IsWriterRunning());
    const auto size = std::filesystem::file_size(dir / "logfile_1.log");
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = size + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    logger->Log("S", std::string(100, 'x').c_str(), 2);
    for (int i = 0; i < 500 && logger->IsWriterRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_FALSE(logger->IsWriterRunning());

    logger->Log("S", "pending", 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string content = ReadFile(dir / "logfile_1.log");
    EXPECT_EQ(content.find("pending"), std::string::npos) << "no writer any more";
    logger->Log("S", "critical", -2);
    const std::string after = ReadFile(dir / "logfile_1.log");
    const std::string tail = OneLine("pending") + OneLine("critical");
    ASSERT_GE(after.size(), tail.size());
    EXPECT_EQ(after.substr(after.size() - tail.size()), tail);
}

} // namespace
