// The logger and its files, byte for byte and under pressure.
#include "logging/error_logger.h"
#include "platform/fs.h"
#include "platform/sysinfo.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace testsupport;

platform::LocalTime FixedTime() { // 2016-03-07 09:05:01.042
    platform::LocalTime t;
    t.year = 2016, t.month = 3, t.day = 7, t.hour = 9, t.minute = 5, t.second = 1,
    t.millisecond = 42;
    return t;
}

std::string Header() {
    return "Log file of system: " + platform::ComputerName() +
           "\r\nCreated: 2016-03-07 09:05:01 \r\n" + std::string(64, '-') + "\r\n\r\n";
}

std::string Block(const std::string& level, const std::string& source, const std::string& text) {
    return "2016-03-07 09:05:01.042\r\nLog Level: " + level + "\r\n" +
           (source.empty() ? "" : "   Source: " + source + "\r\n") + "     Text: " + text +
           "\r\n\r\n";
}

std::string Line(const std::string& text) {
    return "2016-03-07 09:05:01.042  " + text + "\r\n";
}

// A logger set up as the process does, on dir; its writer waits an hour unless told otherwise.
std::unique_ptr<CErrorLogger> Started(const TempDir& dir, int format = -1,
                                      uint32_t interval = 3600000, uint32_t maxSize = 0x100000,
                                      int32_t files = 1) {
    UseProfile(dir, format < 0 ? nullptr
                               : ("LOG_MessageFormat=" + std::to_string(format) + "\n").c_str());
    auto logger = std::make_unique<CErrorLogger>();
    logger->SetTimeSource(FixedTime);
    logger->Initialize(dir.Path(), "", "logfile_", files, maxSize, 0, interval, 2, true, false);
    return logger;
}

std::string File(const TempDir& dir, int n) {
    return dir / ("logfile_" + std::to_string(n) + ".log");
}

// The log file's sharing rules and error codes, which the choice of file and rotation rely on.
TEST(SharedReadFile, AWriterKeepsOtherWritersAndLockingReadersOutButNotPlainReaders) {
    TempDir dir;
    platform::SharedReadFile writer, other, reader;
    ASSERT_TRUE(writer.OpenAlways(dir / "x.log"));
    EXPECT_EQ(writer.LastError(), 0u) << "created";
#ifdef __linux__
    auto descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
#endif
    EXPECT_FALSE(other.OpenAlways(dir / "x.log"));
    EXPECT_EQ(other.LastError(), platform::kErrorSharingViolation);
    EXPECT_FALSE(other.CreateAlways(dir / "x.log"));
    EXPECT_FALSE(other.OpenExistingForRead(dir / "x.log"));
    EXPECT_EQ(other.LastError(), platform::kErrorSharingViolation);
#ifdef __linux__
    EXPECT_EQ(descriptors(), before) << "a refused open keeps no descriptor";
#endif
    ASSERT_TRUE(writer.Write("abc", 3));
    EXPECT_EQ(ReadFile(dir / "x.log"), "abc");
    writer.Close();
    ASSERT_TRUE(reader.OpenExistingForRead(dir / "x.log"));
    EXPECT_TRUE(other.OpenExistingForRead(dir / "x.log")) << "readers share";
    EXPECT_FALSE(writer.CreateAlways(dir / "x.log")) << "a reader without write sharing";
    EXPECT_EQ(ReadFile(dir / "x.log"), "abc") << "a refused create must not truncate";
    reader.Close();
    other.Close();
    ASSERT_TRUE(writer.OpenAlways(dir / "x.log"));
    EXPECT_EQ(writer.LastError(), platform::kErrorAlreadyExists);
    EXPECT_EQ(writer.Size(), 3u);
    ASSERT_TRUE(writer.SeekToEnd() && writer.Write("AB", 2) && writer.Flush());
    EXPECT_EQ(writer.Size(), 5u);
    writer.Close();
    EXPECT_EQ(ReadFile(dir / "x.log"), "abcAB");
    EXPECT_FALSE(reader.OpenExistingForRead(dir / "none.log"));
    EXPECT_EQ(reader.LastError(), platform::kErrorFileNotFound);
    EXPECT_FALSE(reader.OpenExistingForRead(dir / "nodir/none.log"));
    EXPECT_EQ(reader.LastError(), platform::kErrorPathNotFound);
    EXPECT_FALSE(reader.IsOpen());
}

TEST(LogFilter, OnlyTheLevelsAreKeptAndKeyEventsOnlyWhenSwitchedOn) {
    TempDir dir;
    auto logger = Started(dir);
    EXPECT_EQ(logger->FileNames(), (std::vector<std::string>{File(dir, 1), File(dir, 2)}))
        << "one file cannot rotate: two is the least";
    for (int level : {3, -3, -4, -5, -6})
        EXPECT_FALSE(logger->Log("S", "t", level)) << level;
    for (int level : {2, 1, 0, -1})
        EXPECT_TRUE(logger->Log(level == 0 ? nullptr : "S", level == 0 ? "a\r\nb" : "t", level));
    EXPECT_FALSE(logger->Log("S", "", 2));
    EXPECT_FALSE(logger->Log("S", nullptr, 2));
    logger->SetKeyEvents(true);
    EXPECT_TRUE(logger->Log("S", "t", -5));
    logger->SetStandardLevels(false);
    EXPECT_FALSE(logger->Log("S", "t", 2));
    logger->SetStandardLevels(true);
    ASSERT_TRUE(logger->SetLevelThreshold(0));
    EXPECT_FALSE(logger->Log("S", "t", 1));
    EXPECT_TRUE(logger->Log("S", "t", 0));
    logger->Stop();
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Block("Information", "S", "t") +
                                          Block("Warning", "S", "t") +
                                          Block("Error", "", "a\r\nb") + Block("Legacy", "S", "t") +
                                          Block("Key Event", "S", "t") + Block("Error", "S", "t"));
}

TEST(LogSetUp, WithoutADirectoryTheFilesGoWhereTheProfileLookUpLeftTheProcess) {
    TempDir dir;
    UseProfile(dir, "LOG_MessageFormat=1\n");
    platform::ChangeDirectory(dir.Path());
    CErrorLogger* logger = CErrorLogger::GetInstance();
    logger->SetTimeSource(FixedTime);
    ASSERT_TRUE(logger->Initialize("", "", "logfile_", 1, 0x100000, 0, 3600000, 2, true, false));
    logger->Log("S", "last words", 2);
    CErrorLogger::DestroyInstance(); // writes what is pending
    EXPECT_EQ(ReadFile(dir / "appdata/logfile_1.log"), Header() + Line("last words"));
    EXPECT_FALSE(CErrorLogger::GetInstance()->Log("S", "a new logger is not started", 2));
    CErrorLogger::DestroyInstance();
}

// Which file a run continues in: ages in seconds of the existing files 1..3 (0: missing).
TEST(LogFiles, ARunContinuesInTheFileWrittenLast) {
    const struct {
        int ages[3];
        int current;
    } rows[] = {{{10, 20, 0}, 2},  {{30, 30, 20}, 2}, {{40, 10, 20}, 1},
                {{10, 10, 10}, 1}, {{10, 20, 30}, 3}, {{10, 0, 20}, 1}};
    for (const auto& r : rows) {
        TempDir dir;
        for (int i = 0; i < 3; ++i) {
            if (r.ages[i] == 0)
                continue;
            WriteFile(File(dir, i + 1), "old");
            fs::last_write_time(File(dir, i + 1),
                                fs::file_time_type(std::chrono::hours(24 * 365 * 50)) +
                                    std::chrono::seconds(r.ages[i]));
        }
        CErrorLogger logger;
        logger.SetLogSubdirectory("");
        logger.SetFilePrefix(" logfile_ ");
        ASSERT_TRUE(logger.SetLogDirectory(dir.Path()) && logger.SetMaxFiles(3));
        ASSERT_TRUE(logger.OpenLogFiles());
        EXPECT_EQ(logger.CurrentFile(), File(dir, r.current))
            << r.ages[0] << r.ages[1] << r.ages[2];
        ASSERT_TRUE(logger.WriteText("+"));
        logger.CloseLogFile();
        EXPECT_EQ(ReadFile(File(dir, r.current)), "old+") << "appended, no second header";
    }
}

TEST(LogFiles, FirstRunFullFileEmptyFileAndHeldFile) {
    TempDir dir;
    auto fresh = Started(dir);
    fresh->Stop();
    EXPECT_EQ(ReadFile(File(dir, 1)), Header());
    EXPECT_FALSE(fs::exists(File(dir, 2)));
    WriteFile(File(dir, 1), std::string(1025, 'a'));
    auto full = Started(dir, -1, 3600000, 1025);
    full->Stop();
    EXPECT_EQ(full->CurrentFile(), File(dir, 2)) << "a file at the maximum size rotates";
    EXPECT_EQ(ReadFile(File(dir, 2)), Header());
    WriteFile(File(dir, 1), "");
    fs::remove(File(dir, 2));
    auto empty = Started(dir, 1);
    empty->Log("S", "e", 2);
    empty->Stop();
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Line("e")) << "an empty file gets the header";
    platform::SharedReadFile holder; // another writer of the same file
    ASSERT_TRUE(holder.OpenAlways(File(dir, 1)));
    auto held = Started(dir);
    EXPECT_FALSE(held->IsStarted());
    EXPECT_FALSE(held->Log("S", "lost", 2));
    holder.Close();
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Line("e"));
}

TEST(LogRotation, FlushPastTheMaximumMovesOnWrapsAroundAndStopsWhenTheNextFileIsHeld) {
    TempDir dir;
    auto logger = Started(dir, 1, 3600000, 1025);
    std::string five;
    for (int i = 0; i < 5; ++i)
        five += Line(std::string(200, 'x'));
    auto fill = [&] { // one flush may overshoot; the next one rotates
        for (int i = 0; i < 5; ++i)
            logger->Log("S", std::string(200, 'x').c_str(), 2);
        return logger->Flush();
    };
    ASSERT_TRUE(fill());
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + five);
    logger->Log("S", "second", 2);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(File(dir, 2)), Header() + Line("second"));
    ASSERT_TRUE(fill());
    logger->Log("S", "third", 2);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(logger->CurrentFile(), File(dir, 1)) << "wraps to the oldest";
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Line("third"));
    // File 2 is now held by another writer: the rotation cannot create it. The entries of
    // that flush are lost with it; then no file is open, later entries stay pending and are
    // dropped and counted as the ring fills, and no file is opened again.
    platform::SharedReadFile holder;
    ASSERT_TRUE(holder.OpenAlways(File(dir, 2)));
    ASSERT_TRUE(fill());
    logger->Log("S", "lost with the flush", 2);
    EXPECT_FALSE(logger->Flush());
    logger->Log("S", "critical", -2);
    for (int i = 0; i < 1000; ++i)
        logger->Log("S", "pending", 2);
    EXPECT_EQ(logger->LostEntries(), 2u);
    EXPECT_TRUE(logger->Stop()) << "nothing to write to is no failure";
    holder.Close();
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Line("third") + five);
    EXPECT_EQ(ReadFile(File(dir, 2)), Header() + Line("second") + five) << "the held file";
}

// The ring holds 999 entries: the thousandth drops the oldest, and the next flush says so.
TEST(LogRing, TheThousandthEntryDropsTheOldestAndTheFlushSaysSo) {
    TempDir dir;
    auto logger = Started(dir, 1);
    std::string expected = Header() +
                           "2016-03-07 09:05:01 Level=\"Warning\" Source=\"Error "
                           "Logging Tool\" Text=\"Message buffer overflow - 1 entries lost\"\r\n";
    for (int i = 1; i <= 1000; ++i) {
        ASSERT_TRUE(logger->Log("S", std::to_string(i).c_str(), 2));
        expected += i > 1 ? Line(std::to_string(i)) : "";
    }
    EXPECT_EQ(logger->LostEntries(), 1u);
    ASSERT_TRUE(logger->Flush());
    EXPECT_EQ(ReadFile(File(dir, 1)), expected);
    EXPECT_EQ(logger->LostEntries(), 0u);
}

TEST(LogWriter, CriticalWritesAtOnceTheWriterOnItsOwnAndStopWritesTheRest) {
    TempDir dir;
    auto logger = Started(dir);
    logger->Log("ServerMain", "first", 2);
    EXPECT_FALSE(logger->Log("S", "", -2)) << "an empty Critical text is not kept";
    EXPECT_EQ(ReadFile(File(dir, 1)), Header() + Block("Information", "ServerMain", "first"))
        << "but still flushes";
    ASSERT_TRUE(logger->Log("ServerMain", "bad", -2));
    const std::string critical = Header() + Block("Information", "ServerMain", "first") +
                                 Block("Critical", "ServerMain", "bad");
    EXPECT_EQ(ReadFile(File(dir, 1)), critical) << "at once";
    logger->Log("S", "a", 2);
    EXPECT_TRUE(logger->Stop());
    EXPECT_FALSE(logger->IsWriterRunning());
    EXPECT_TRUE(logger->Log("S", "late", 2)) << "kept after the last flush: stays in memory";
    EXPECT_EQ(ReadFile(File(dir, 1)), critical + Block("Information", "S", "a"));
    platform::SharedReadFile again;
    EXPECT_TRUE(again.OpenAlways(File(dir, 1))) << "the file was released";
}

// The writer on its own, every 20 ms: it rotates in the round after the one that filled the
// file, sleeps while nothing is kept, and an entry kept then wakes it.
TEST(LogWriter, RotatesOnItsOwnSleepsWhenIdleAndWakesForTheNextEntry) {
    TempDir dir;
    auto logger = Started(dir, 1, 20, 1025);
    auto written = [&](int n, const std::string& text) {
        for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (fs::exists(File(dir, n)) && ReadFile(File(dir, n)).find(text) != std::string::npos)
                return true;
        return false;
    };
    for (int i = 0; i < 5; ++i)
        logger->Log("S", std::string(200, 'x').c_str(), 2);
    EXPECT_TRUE(written(1, std::string(200, 'x')));
    EXPECT_TRUE(written(2, Header())) << "the next round rotates, though nothing new was kept";
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the writer sleeps by now
    logger->Log("S", "after a quiet spell", 2);
    EXPECT_TRUE(written(2, "after a quiet spell"));
    EXPECT_TRUE(logger->Stop());
}

// Four threads log 20,000 entries each (every 97th Critical) while the writer flushes every
// millisecond: every kept entry is written once in its thread's order, or counted as lost.
TEST(LogPressure, EveryKeptEntryIsWrittenOnceInOrderOrCountedAsLost) {
    constexpr int kThreads = 4, kPerThread = 20000, kFiles = 15;
    TempDir dir;
    auto logger = Started(dir, 1, 1, 0x100000, kFiles);
    ASSERT_TRUE(logger->IsWriterRunning());
    // A clock that gives the processor away widens any window between an entry becoming
    // pending and its text being filled in.
    logger->SetTimeSource([] {
        std::this_thread::yield();
        return FixedTime();
    });
    std::atomic<long> kept{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                kept +=
                    logger->Log("P", ("t" + std::to_string(t) + "-" + std::to_string(i)).c_str(),
                                i % 97 == 0 ? -2 : 2);
        });
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(logger->Stop());
    std::string text;
    int files = 0;
    while (files < kFiles && fs::exists(File(dir, files + 1)))
        text += ReadFile(File(dir, ++files));
    ASSERT_LT(files, kFiles) << "the files wrapped around; the count would be incomplete";
    std::istringstream lines(text);
    long written = 0, lost = 0, last[kThreads] = {-1, -1, -1, -1}, t = 0, i = 0;
    const std::string notice = "Message buffer overflow - ";
    for (std::string line; std::getline(lines, line);) {
        if (std::sscanf(line.c_str(), "2016-03-07 09:05:01.042  t%ld-%ld", &t, &i) == 2) {
            ASSERT_GT(i, last[t]) << "written twice or out of order: " << line;
            last[t] = i, ++written;
        } else if (line.find(notice) != std::string::npos) {
            lost += std::stol(line.substr(line.find(notice) + notice.size()));
        }
    }
    EXPECT_EQ(written + lost, kept.load()) << written << " written, " << lost << " lost";
    EXPECT_GT(written, 0);
    EXPECT_EQ(logger->LostEntries(), 0u) << "the final flush reports every loss";
}

// A failed write earlier in a batch does not end the writer when the later writes worked.
TEST(LogWriterFailure, ABatchResultIsThatOfItsLastWrite) {
    for (const std::string failing : {"first", "last"}) {
        SCOPED_TRACE(failing);
        TempDir dir;
        auto logger = Started(dir, 1);
        logger->SetWriteFaultForTests(
            [failing](const std::string& text) { return text.find(failing) == std::string::npos; });
        logger->Log("S", "first", 2);
        logger->Log("S", "last", 2);
        EXPECT_EQ(logger->Flush(), failing == "first");
        const std::string log = ReadFile(File(dir, 1));
        EXPECT_EQ(log.find(Line(failing)), std::string::npos) << log;
        EXPECT_NE(log.find(Line(failing == "first" ? "last" : "first")), std::string::npos);
    }
}

// A write that never returns (a dead network share): the stop gives up after its 5 s, so that
// the process can end.
TEST(LogWriterFailure, StopLeavesAWriterThatHangsInAWriteBehind) {
    TempDir dir;
    UseProfile(dir, "LOG_MessageFormat=1\n");
    struct Hang {
        std::mutex lock;
        std::condition_variable changed;
        bool entered = false, released = false;
    };
    auto hang = std::make_shared<Hang>(); // the left-behind writer still uses it afterwards
    CErrorLogger::GetInstance()->SetWriteFaultForTests([hang](const std::string& text) {
        std::unique_lock<std::mutex> lock(hang->lock);
        hang->entered = hang->entered || text.find("share went away") != std::string::npos;
        hang->changed.notify_all();
        hang->changed.wait(lock, [&] { return !hang->entered || hang->released; });
        return true;
    });
    CErrorLogger::GetInstance()->Initialize(dir.Path(), "", "logfile_", 1, 0x100000, 0, 50, 2, true,
                                            false);
    LogMessage("S", "share went away", 2);
    std::unique_lock<std::mutex> lock(hang->lock);
    ASSERT_TRUE(
        hang->changed.wait_for(lock, std::chrono::seconds(5), [&] { return hang->entered; }));
    lock.unlock();
    const auto start = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, CErrorLogger::DestroyInstance);
    const bool ended = stopped.wait_for(std::chrono::seconds(9)) == std::future_status::ready;
    const auto waited = std::chrono::steady_clock::now() - start;
    lock.lock();
    hang->released = true;
    hang->changed.notify_all();
    lock.unlock();
    EXPECT_TRUE(ended) << "the stop waited for the hung write";
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
}

} // namespace

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>

namespace {

// A file size limit makes the next write fail the way a full disk would.
TEST(LogWriterFailure, AFailedFlushEndsTheWriterAndOnlyCriticalEntriesStillWrite) {
    TempDir dir;
    auto logger = Started(dir, 1, 20);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = Header().size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    logger->Log("S", std::string(100, 'x').c_str(), 2);
    for (int i = 0; i < 500 && logger->IsWriterRunning(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    EXPECT_FALSE(logger->IsWriterRunning());
    logger->Log("S", "pending", 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(ReadFile(File(dir, 1)).find("pending"), std::string::npos) << "no writer any more";
    logger->Log("S", "critical", -2);
    const std::string after = ReadFile(File(dir, 1)), tail = Line("pending") + Line("critical");
    ASSERT_GT(after.size(), tail.size());
    EXPECT_EQ(after.substr(after.size() - tail.size()), tail);
}

} // namespace
#endif
