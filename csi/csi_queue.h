// The command record that the communication task posts to the CSI task, and the queue between
// them. The original record is eight 32-bit words holding pointers; here each word keeps its
// meaning with a field wide enough for a pointer.
#pragma once
#include "platform/wakeup.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

// Engine result statuses.
enum CsiStatus : int32_t {
    CSI_STATUS_NONE = 0,
    CSI_STATUS_RUNNING = 1,
    CSI_STATUS_FAILURE = 2,
    CSI_STATUS_NOT_ALLOWED = 3,
    CSI_STATUS_DONE = 4,
    CSI_STATUS_NO_CALL = 6,
    CSI_STATUS_FILE_CONFIRM = 10,
    CSI_STATUS_CANCELLED = 15,
};

struct CsiCommandRecord {
    uint32_t code = 0;                   // word 0: command 1..4
    const char* interfaceName = nullptr; // word 1: command 2; a string literal
    // Word 2: where the object list pointer goes; a word of the poster, which outlives the
    // engine thread.
    uintptr_t* objectListOut = nullptr;
    void* unused3 = nullptr; // word 3
    // Word 4: the poster's status word. It lives on the poster's stack while the poster waits,
    // and a poster that gives up waiting first has the engine drop the command.
    std::atomic<int32_t>* statusWord = nullptr;
    int32_t flag = 0;             // word 5
    int32_t reserved[2] = {0, 0}; // words 6, 7

    CsiCommandRecord() = default;
    CsiCommandRecord(const CsiCommandRecord&) = default;
    CsiCommandRecord& operator=(const CsiCommandRecord&) = default;
};

// First-in first-out list of record copies under one lock. It also carries the two signals
// between poster and engine that let both sides react at once instead of at the next 250 ms
// round: Append raises the engine's wake-up, and the engine announces every status it writes.
class CCSIQueue {
public:
    CCSIQueue();
    CCSIQueue(const CCSIQueue&) = delete;
    CCSIQueue& operator=(const CCSIQueue&) = delete;

    void Append(const CsiCommandRecord& record);
    bool IsEmpty();
    // Copies the head into *out and removes it; false when the queue is empty.
    bool TakeHead(CsiCommandRecord* out);
    size_t Size();

    // Raised by every Append; the engine's fast loop waits on it together with the line.
    platform::Wakeup* CommandWakeup() const { return m_wakeup.get(); }
    // Raises the wake-up without a record: a waiting engine looks at its stop byte.
    void WakeEngine() { platform::WakeupRaise(m_wakeup.get()); }

    // The engine calls this after writing into a poster's status word.
    void AnnounceStatus();
    // The number of statuses announced so far.
    uint64_t StatusCount();
    // Waits at most milliseconds until more than `seen` statuses have been announced; returns
    // the count then. A poster uses it instead of a blind sleep between looks at its word.
    uint64_t WaitForStatus(uint64_t seen, uint32_t milliseconds);

private:
    std::mutex m_lock;
    std::deque<CsiCommandRecord> m_records;
    platform::UniqueWakeup m_wakeup;
    std::mutex m_statusLock;
    std::condition_variable m_statusChanged;
    uint64_t m_statusCount = 0;
};
