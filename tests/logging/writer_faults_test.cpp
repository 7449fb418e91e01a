// The log writer when the disk misbehaves: a write that fails once, and a write that hangs.
#include "logging/log.h"
#include "support/logger_fixture.h"

#include <condition_variable>
#include <future>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// One failed write earlier in a batch must not end the writer when the later writes worked.
TEST(LogWriterFaults, BatchResultIsThatOfItsLastWrite) {
    for (const std::string failing : {"first", "last"}) {
        SCOPED_TRACE(failing);
        TempDir dir;
        auto logger = StartedLogger(dir, 1);
        logger->SetWriteFaultForTests(
            [failing](const std::string& text) { return text.find(failing) == std::string::npos; });
        logger->Log("S", "first", 2);
        logger->Log("S", "last", 2);
        EXPECT_EQ(logger->Flush(), failing == "first");
        // " text\r\n" ends an entry in either message format.
        const std::string log = ReadFile(dir / "logfile_1.log");
        EXPECT_EQ(log.find(" " + failing + "\r\n"), std::string::npos) << log;
        EXPECT_NE(log.find(failing == "first" ? " last\r\n" : " first\r\n"), std::string::npos);
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
