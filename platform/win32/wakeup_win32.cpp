// Windows wake-up signal: an auto-reset event, which a wait consumes by itself.
#include "platform/wakeup.h"

#include "platform/win32/unique_handle_win32.h"

#include <utility>

namespace platform {

struct Wakeup {
    UniqueWinHandle event;
};

void WakeupDeleter::operator()(Wakeup* wakeup) const {
    delete wakeup; // its event closes with it
}

UniqueWakeup WakeupCreate() {
    UniqueWinHandle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!event.IsValid())
        return nullptr;
    UniqueWakeup wakeup(new Wakeup);
    wakeup->event = std::move(event);
    return wakeup;
}

void WakeupRaise(Wakeup* wakeup) {
    if (wakeup != nullptr)
        SetEvent(wakeup->event.Get());
}

bool WakeupWait(Wakeup* wakeup, uint32_t timeoutMs) {
    if (wakeup == nullptr)
        return false;
    return WaitForSingleObject(wakeup->event.Get(), timeoutMs) == WAIT_OBJECT_0;
}

bool WakeupWaitUs(Wakeup* wakeup, uint64_t timeoutUs) {
    // Windows waits in milliseconds: rounded up, so the time asked for has passed on return.
    const uint64_t ms = (timeoutUs + 999) / 1000;
    const DWORD limit = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
    if (wakeup == nullptr) {
        Sleep(limit);
        return false;
    }
    return WaitForSingleObject(wakeup->event.Get(), limit) == WAIT_OBJECT_0;
}

bool WakeupConsume(Wakeup* wakeup) {
    return WakeupWait(wakeup, 0);
}

intptr_t WakeupNativeHandle(Wakeup* wakeup) {
    return wakeup != nullptr ? reinterpret_cast<intptr_t>(wakeup->event.Get()) : 0;
}

} // namespace platform
