// CStopEvent: a manual-reset event (flag + condition variable) that the end-event thread sets to
// end whatever command the main thread is waiting on. It stays set until someone resets it, so a
// cancel that arrives between two commands is not lost.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CStopEvent {
public:
    void Set();
    void Reset();
    // Tests the event without waiting.
    bool IsSet();
    // Waits at most the given time; true when the event is set.
    bool Wait(uint32_t milliseconds);

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bSignalled = false;
};
