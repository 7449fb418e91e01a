// Stop requests on Windows: Ctrl+C, Ctrl+Break and the console's close. The system calls the
// handler on a thread of its own; it only writes the event's number into an anonymous pipe,
// which the waiting thread reads in order. A console close ends the process as soon as the
// handler returns, so for that event the handler does not return: the process ends when its
// orderly stop is done, or when the system's own limit for a closing console (about five
// seconds) runs out, whichever comes first.
#include "platform/stop_request.h"

#include <windows.h>

namespace platform {

namespace {

constexpr unsigned char kReleased = 0xFF; // no console event has this number
constexpr DWORD kCloseWaitMs = 20000;     // longer than the system lets a closing console live

// Never closed, so owned by no one: a console event can come until the process has ended, and
// its handler writes here.
HANDLE g_read = nullptr;
HANDLE g_write = nullptr;
HANDLE g_released = nullptr; // manual-reset event, set by StopRequestsRelease

BOOL WINAPI Record(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE; // the default handling for everything else
    const unsigned char number = static_cast<unsigned char>(type);
    DWORD written = 0;
    WriteFile(g_write, &number, 1, &written, nullptr);
    if (type == CTRL_CLOSE_EVENT)
        Sleep(kCloseWaitMs);
    return TRUE;
}

} // namespace

bool StopRequestsInstall() {
    if (g_read != nullptr)
        return true;
    g_released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_released == nullptr || !CreatePipe(&g_read, &g_write, nullptr, 0))
        return false;
    // A process started in a group of its own ignores Ctrl+C unless it asks for it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(Record, TRUE) != 0;
}

bool StopRequestWait(std::string* name) {
    if (g_read == nullptr || WaitForSingleObject(g_released, 0) == WAIT_OBJECT_0)
        return false;
    unsigned char number = kReleased;
    DWORD got = 0;
    if (!ReadFile(g_read, &number, 1, &got, nullptr) || got != 1 || number == kReleased ||
        WaitForSingleObject(g_released, 0) == WAIT_OBJECT_0)
        return false;
    *name = number == CTRL_C_EVENT       ? "console event CTRL_C_EVENT"
            : number == CTRL_BREAK_EVENT ? "console event CTRL_BREAK_EVENT"
                                         : "console event CTRL_CLOSE_EVENT";
    return true;
}

void StopRequestsRelease() {
    if (g_read == nullptr || WaitForSingleObject(g_released, 0) == WAIT_OBJECT_0)
        return;
    SetEvent(g_released);
    const unsigned char number = kReleased;
    DWORD written = 0;
    WriteFile(g_write, &number, 1, &written, nullptr);
}

} // namespace platform
