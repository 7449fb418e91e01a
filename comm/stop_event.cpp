// Manual-reset event over the standard library; never waits while holding another lock.
#include "comm/stop_event.h"

#include <chrono>

void CStopEvent::Set() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bSignalled = true;
    }
    m_changed.notify_all();
}

void CStopEvent::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bSignalled = false;
}

bool CStopEvent::IsSet() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bSignalled;
}

bool CStopEvent::Wait(uint32_t milliseconds) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                              [this] { return m_bSignalled; });
}
