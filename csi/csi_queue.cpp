#include "csi/csi_queue.h"

void CCSIQueue::Append(const CsiCommandRecord& record) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_records.push_back(record);
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
