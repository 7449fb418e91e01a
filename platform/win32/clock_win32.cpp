// Windows clock: GetTickCount, Sleep and GetLocalTime.
#include "platform/clock.h"

#include <windows.h>

namespace platform {

uint32_t TickCount() {
    return static_cast<uint32_t>(GetTickCount());
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

LocalTime NowLocal() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

} // namespace platform
