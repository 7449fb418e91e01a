// Win32 handles owned by one object and closed exactly once. For the Windows implementations
// only.
#pragma once
#include "platform/unique_handle.h"

#include <windows.h>

namespace platform {

// Kernel objects: files, devices, pipes, events. Creating functions report failure either as
// null (events) or as INVALID_HANDLE_VALUE (files): neither is a handle to close.
struct WinHandleTraits {
    using Native = HANDLE;
    static HANDLE None() { return nullptr; }
    static bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) { return CloseHandle(h) != 0; }
};
using UniqueWinHandle = UniqueHandle<WinHandleTraits>;

// A directory search, which FindClose ends rather than CloseHandle.
struct FindHandleTraits {
    using Native = HANDLE;
    static HANDLE None() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
    static bool Close(HANDLE h) { return FindClose(h) != 0; }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

} // namespace platform
