// Windows wake-up signal: an auto-reset event, which a wait consumes by itself.
#include "platform/wakeup.h"

#include <windows.h>

namespace platform {

struct Wakeup {
    HANDLE event = nullptr;
};

Wakeup* WakeupCreate() {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr)
        return nullptr;
    auto* wakeup = new Wakeup;
    wakeup->event = event;
    return wakeup;
}

void WakeupDestroy(Wakeup* wakeup) {
    if (wakeup == nullptr)
        return;
    CloseHandle(wakeup->event);
    delete wakeup;
}

void WakeupRaise(Wakeup* wakeup) {
    if (wakeup != nullptr)
        SetEvent(wakeup->event);
}

bool WakeupWait(Wakeup* wakeup, uint32_t timeoutMs) {
    if (wakeup == nullptr)
        return false;
    return WaitForSingleObject(wakeup->event, timeoutMs) == WAIT_OBJECT_0;
}

bool WakeupWaitUs(Wakeup* wakeup, uint64_t timeoutUs) {
    // Windows waits in milliseconds: rounded up, so the time asked for has passed on return.
    const uint64_t ms = (timeoutUs + 999) / 1000;
    const DWORD limit = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
    if (wakeup == nullptr) {
        Sleep(limit);
        return false;
    }
    return WaitForSingleObject(wakeup->event, limit) == WAIT_OBJECT_0;
}

bool WakeupConsume(Wakeup* wakeup) {
    return WakeupWait(wakeup, 0);
}

intptr_t WakeupNativeHandle(Wakeup* wakeup) {
    return wakeup != nullptr ? reinterpret_cast<intptr_t>(wakeup->event) : 0;
}

} // namespace platform
