// The log writer when the disk misbehaves: a write that fails once, and a write that hangs.
#include "logging/log.h"
#include "support/logger_fixture.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>

using namespace testsupport;

namespace {

// A batch counts as written when its last write worked: one failed write earlier in it must not
// end the writer.
TEST(LogWriterFaults, BatchResultIsThatOfItsLastWrite) {
    const struct {
        const char* failing;
        bool result;
    } rows[] = {{"first", true}, {"last", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failing);
        TempDir dir;
        auto logger = StartedLogger(dir, 1);
        const std::string failing = row.failing;
        logger->SetWriteFaultForTests(
            [failing](const std::string& text) { return text.find(failing) == std::string::npos; });
        logger->Log("S", "first", 2);
        logger->Log("S", "last", 2);
        EXPECT_EQ(logger->Flush(), row.result);
        const std::string log = ReadFile(dir / "logfile_1.log");
        // " text\r\n" ends an entry in either message format.
        EXPECT_EQ(log.find(" " + failing + "\r\n"), std::string::npos) << log;
        const std::string kept = row.result ? "last" : "first";
        EXPECT_NE(log.find(" " + kept + "\r\n"), std::string::npos) << log;
    }
}

// A write that never returns (a dead network share): stopping the logger gives up after its
// 5,000 ms instead of waiting for ever, so the process can end.
TEST(LogWriterFaults, StopLeavesAWriterThatHangsInAWriteBehind) {
    TempDir dir;
    UseTestProfile(dir, 1);
    struct Hang {
        std::mutex lock;
        std::condition_variable changed;
        bool entered = false;
        bool released = false;
    };
    auto hang = std::make_shared<Hang>(); // the left-behind writer may use it after the test
    CErrorLogger* logger = CErrorLogger::GetInstance();
    logger->SetWriteFaultForTests([hang](const std::string& text) {
        std::unique_lock<std::mutex> lock(hang->lock);
        if (text.find("share went away") != std::string::npos) {
            hang->entered = true;
            hang->changed.notify_all();
            hang->changed.wait(lock, [&] { return hang->released; });
        }
        return true;
    });
    logger->Initialize(dir.Path(), "", "logfile_", 1, 0x100000, 0, 50, 2, true, false);
    LogMessage("S", "share went away", 2);
    {
        std::unique_lock<std::mutex> lock(hang->lock);
        ASSERT_TRUE(
            hang->changed.wait_for(lock, std::chrono::seconds(5), [&] { return hang->entered; }));
    }
    const auto start = std::chrono::steady_clock::now();
    auto stopped = std::async(std::launch::async, CErrorLogger::DestroyInstance);
    const bool ended = stopped.wait_for(std::chrono::seconds(9)) == std::future_status::ready;
    const auto waited = std::chrono::steady_clock::now() - start;
    {
        std::lock_guard<std::mutex> lock(hang->lock);
        hang->released = true;
        hang->changed.notify_all();
    }
    EXPECT_TRUE(ended) << "the stop waited for the hung write";
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
}

} // namespace
