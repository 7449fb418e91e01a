// Log pressure: four threads log a million messages in all while the writer flushes every
// few milliseconds. Nothing may deadlock, and the log file must account for every message
// that Log accepted: each is either written exactly once, in its thread's order, or counted
// in an overflow notice.
#include "support/logger_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

constexpr int kThreads = 4;
// Every accepted message must be found in the files, so the files must not wrap around: at
// most 15 files of 1 MB. In a normal or AddressSanitizer build the writer gets under a tenth
// of a million messages into them; ThreadSanitizer slows the logging threads far more than the
// writer, so that build sends fewer messages to stay within the files.
#if defined(__SANITIZE_THREAD__)
constexpr int kPerThread = 50000;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kPerThread = 50000;
#else
constexpr int kPerThread = 250000;
#endif
#else
constexpr int kPerThread = 250000;
#endif
constexpr int kFiles = 15; // the most the logger keeps

TEST(LogPressure, MillionMessagesFromFourThreadsAreWrittenOrCountedAsLost) {
    TempDir dir;
    // Enough files of the largest size that nothing rotates away.
    auto logger = StartedLogger(dir, 1, /*writeInterval=*/2, /*maxFileSize=*/0x100000, kFiles);
    ASSERT_TRUE(logger->IsWriterRunning());
    std::atomic<long> kept{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            long mine = 0;
            const std::string prefix = "t" + std::to_string(t) + "-";
            for (int i = 0; i < kPerThread; ++i)
                mine += logger->Log("P", (prefix + std::to_string(i)).c_str(), 2) ? 1 : 0;
            kept += mine;
        });
    }
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(logger->Stop());

    std::string text;
    int files = 0;
    for (int f = 1; f <= kFiles; ++f) {
        const std::string name = dir / ("logfile_" + std::to_string(f) + ".log");
        if (!std::filesystem::exists(name))
            break;
        text += ReadFile(name);
        ++files;
    }
    ASSERT_LT(files, kFiles) << "the files wrapped around; the count would be incomplete";
    std::istringstream lines(text);
    std::string line;
    long written = 0, lost = 0;
    std::vector<long> last(kThreads, -1);
    const std::string entryStart = "2016-03-07 09:05:01.042  t";
    const std::string noticeMark = "Text=\"Message buffer overflow - ";
    while (std::getline(lines, line)) {
        if (line.compare(0, entryStart.size(), entryStart) == 0) {
            const size_t dash = line.find('-', entryStart.size());
            ASSERT_NE(dash, std::string::npos) << line;
            const int t = std::stoi(line.substr(entryStart.size(), dash - entryStart.size()));
            const long i = std::stol(line.substr(dash + 1));
            ASSERT_TRUE(t >= 0 && t < kThreads) << line;
            ASSERT_GT(i, last[t]) << "written twice or out of order: " << line;
            last[t] = i;
            ++written;
        } else if (line.find(noticeMark) != std::string::npos) {
            lost += std::stol(line.substr(line.find(noticeMark) + noticeMark.size()));
        }
    }
    EXPECT_EQ(written + lost, kept.load()) << written << " written, " << lost << " lost";
    EXPECT_GT(written, 0);
    EXPECT_EQ(logger->LostEntries(), 0u) << "the final flush reports every loss";
}

} // namespace
