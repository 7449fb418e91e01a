// CErrorLogger's ring of entries and its writer thread. Log callers only copy into the ring
// under the buffer lock; the writer renders and writes outside it, so a slow disk never
// blocks a protocol thread. Critical messages are the one exception: written at once.
#include "logging/error_logger.h"

#include <chrono>
#include <cstdio>

namespace {
constexpr std::chrono::milliseconds kLockWait(1000);

// The read index wraps at once, so it is always a slot number (0..999).
uint32_t NextSlot(uint32_t slot) {
    return slot + 1 >= CErrorLogger::kRingSlots ? 0 : slot + 1;
}
constexpr std::chrono::milliseconds kWriterEndWait(5000);
} // namespace

bool CErrorLogger::Enqueue(const char* source, const char* text, int level) {
    if (!m_bufferLock.try_lock_for(kLockWait))
        return false;
    bool result = false;
    uint32_t w = m_nWrite;
    if (text != nullptr && *text != '\0' && w < kRingSlots) {
        const platform::LocalTime t = m_now();
        {
            std::lock_guard<std::mutex> slot(m_slotLock);
            LogEntry& e = m_aBuffer[w];
            e.text = text;
            e.level = level;
            e.source = source ? source : "";
            e.year = static_cast<int16_t>(t.year);
            e.month = static_cast<int16_t>(t.month);
            e.day = static_cast<int16_t>(t.day);
            e.hour = static_cast<int16_t>(t.hour);
            e.minute = static_cast<int16_t>(t.minute);
            e.second = static_cast<int16_t>(t.second);
            e.millisecond = static_cast<int16_t>(t.millisecond);
        }
        const uint32_t n = w + 1;
        // Counting the new entry and dropping the oldest happen in one hold of the index lock,
        // which the writer also holds while it takes an entry out: the two never disagree on
        // what is pending, so nothing is written twice and every drop is counted once.
        if (m_indexLock.try_lock_for(kLockWait)) {
            m_nWrite = n >= kRingSlots ? 0 : n;
            if (m_nPending + 1 >= kRingSlots) {
                // Ring full: the oldest pending entry goes, and the next flush says so.
                m_nRead = NextSlot(m_nRead);
                ++m_nLost;
            } else {
                ++m_nPending;
            }
            m_indexLock.unlock();
        } else {
            // The slot was filled but never became pending: the message is lost, and said so.
            ++m_nLost;
        }
        if (m_bWriterIdle.exchange(false)) {
            std::lock_guard<std::mutex> lock(m_eventLock);
            m_bEntryKept = true;
            m_eventCond.notify_all();
        }
        result = true;
    }
    if (level == -2)
        Flush();
    m_bufferLock.unlock();
    return result;
}

bool CErrorLogger::TakeOldestEntry(LogEntry* copy) {
    // The entry leaves the ring while it is copied, so a later drop can never take it too.
    if (!m_indexLock.try_lock_for(kLockWait))
        return false;
    const bool any = m_nPending > 0;
    if (any) {
        {
            std::lock_guard<std::mutex> slot(m_slotLock);
            *copy = m_aBuffer[m_nRead];
        }
        m_nRead = NextSlot(m_nRead);
        --m_nPending;
    }
    m_indexLock.unlock();
    return any;
}

bool CErrorLogger::Flush() {
    std::lock_guard<std::mutex> one(m_flushLock);
    bool ok = true;
    if (m_file.IsOpen()) {
        if (m_file.Size() > m_nMaxFileSize && NextLogFile())
            ok = ok && CreateLogFile();
        const uint32_t lost = m_nLost;
        if (lost > 0) {
            char notice[256];
            std::snprintf(notice, sizeof notice,
                          "%s Level=\"Warning\" Source=\"Error Logging Tool\" Text=\"Message "
                          "buffer overflow - %d entries lost\"\r\n",
                          Stamp(m_now()).c_str(), static_cast<int>(lost));
            ok = WriteText(notice);
            // Losses counted since the snapshot stay for the next notice.
            m_nLost -= lost;
        }
        // Oldest first, as many as were pending when the flush began; later entries wait for
        // the next flush.
        uint32_t pending = 0;
        if (m_indexLock.try_lock_for(kLockWait)) {
            pending = m_nPending;
            m_indexLock.unlock();
        }
        // The batch's result is that of its last write: a write that failed once (a share
        // that was away for a moment) must not end the writer when the writes after it worked.
        LogEntry copy;
        for (uint32_t i = 0; i < pending && TakeOldestEntry(&copy); ++i)
            ok = WriteText(FormatEntry(copy));
    }
    return ok;
}

bool CErrorLogger::CreateLocks() {
    // The locks are members and exist from construction on.
    return true;
}

bool CErrorLogger::NothingPending() {
    if (!m_indexLock.try_lock_for(kLockWait))
        return false;
    const bool nothing = m_nPending == 0 && m_nLost == 0;
    m_indexLock.unlock();
    return nothing;
}

void CErrorLogger::WaitForEntry(std::unique_lock<std::mutex>& lock) {
    // Kept entries look at the flag after counting themselves, and the writer looks at the
    // count after raising the flag: one of the two always sees the other.
    m_bWriterIdle.store(true);
    if (NothingPending())
        m_eventCond.wait(lock, [this] { return m_bStopSignalled || m_bEntryKept; });
    m_bEntryKept = false;
    m_bWriterIdle.store(false);
}

void CErrorLogger::WriterThreadProc() {
    // After a round that had nothing to write, and so nothing to rotate either, the next round
    // would have nothing to do as well: the writer then sleeps until an entry is kept instead
    // of waking every interval on an idle line.
    bool quiet = false;
    for (;;) {
        std::unique_lock<std::mutex> lock(m_eventLock);
        if (quiet)
            WaitForEntry(lock);
        const bool signalled =
            m_eventCond.wait_for(lock, std::chrono::milliseconds(m_nWriteInterval.load()),
                                 [this] { return m_bStopSignalled; });
        if (signalled) {
            m_bStopSignalled = false;
            break;
        }
        lock.unlock();
        quiet = NothingPending();
        // A failed write ends the writer; Critical messages and Stop still write.
        if (!Flush())
            break;
    }
    std::lock_guard<std::mutex> lock(m_eventLock);
    m_bWriterRunning = false;
    m_eventCond.notify_all();
}

bool CErrorLogger::StartWriter() {
    if (m_bWriterExists)
        return true;
    // Thread priorities are not applied: the writer only needs to keep up once a second.
    {
        std::lock_guard<std::mutex> lock(m_eventLock);
        m_bStopSignalled = false;
    }
    m_bWriterRunning = true;
    try {
        m_writer = std::thread([this] { WriterThreadProc(); });
    } catch (...) {
        m_bWriterRunning = false;
        return false;
    }
    m_bWriterExists = true;
    return true;
}

void CErrorLogger::SignalStop() {
    std::lock_guard<std::mutex> lock(m_eventLock);
    m_bStopSignalled = true;
    m_eventCond.notify_all();
}

bool CErrorLogger::FinishWriter() {
    bool ok = Flush();
    if (m_bWriterExists) {
        // Stop only gets here when the writer has ended (or was never started).
        if (m_writer.joinable())
            m_writer.join();
        m_bWriterExists = false;
        std::lock_guard<std::mutex> lock(m_eventLock);
        m_bStopSignalled = false;
    }
    return ok;
}

bool CErrorLogger::Stop() {
    if (m_bWriterLeftBehind)
        return false;
    if (m_bWriterExists) {
        SignalStop();
        std::unique_lock<std::mutex> lock(m_eventLock);
        if (!m_eventCond.wait_for(lock, kWriterEndWait, [this] { return !m_bWriterRunning; })) {
            // The writer hangs in a write (a dead network share) and holds the flush and the
            // file. A thread cannot be killed safely, so it is left behind with this logger,
            // which must outlive it; what is still pending is lost. The process can end: the
            // hung write ends with it.
            m_bWriterLeftBehind = true;
            m_writer.detach();
            return false;
        }
    }
    const bool ok = FinishWriter();
    const bool locked = m_bufferLock.try_lock_for(kLockWait);
    CloseLogFile();
    if (locked)
        m_bufferLock.unlock();
    return ok;
}
