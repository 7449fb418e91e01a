// The command queue between the communication task and the engine, with the engine's wake-up
// and the status announcements. Safe to use from any thread.
#include "csi/csi_queue.h"

#include <chrono>

CCSIQueue::CCSIQueue() : m_wakeup(platform::WakeupCreate()) {}

void CCSIQueue::Append(const CsiCommandRecord& record) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_records.push_back(record);
    }
    platform::WakeupRaise(m_wakeup.get());
}

bool CCSIQueue::IsEmpty() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records.empty();
}

bool CCSIQueue::TakeHead(CsiCommandRecord* out) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_records.empty())
        return false;
    *out = m_records.front();
    m_records.pop_front();
    return true;
}

size_t CCSIQueue::Size() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_records.size();
}

void CCSIQueue::AnnounceStatus() {
    {
        std::lock_guard<std::mutex> guard(m_statusLock);
        ++m_statusCount;
    }
    m_statusChanged.notify_all();
}

uint64_t CCSIQueue::StatusCount() {
    std::lock_guard<std::mutex> guard(m_statusLock);
    return m_statusCount;
}

uint64_t CCSIQueue::WaitForStatus(uint64_t seen, uint32_t milliseconds) {
    std::unique_lock<std::mutex> guard(m_statusLock);
    m_statusChanged.wait_for(guard, std::chrono::milliseconds(milliseconds),
                             [&] { return m_statusCount != seen; });
    return m_statusCount;
}
