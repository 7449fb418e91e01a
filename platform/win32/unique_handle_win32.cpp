// The Windows meaning of a platform file handle: a HANDLE kept as an integer.
#include "platform/win32/unique_handle_win32.h"

namespace platform {

bool NativeFileTraits::IsValid(intptr_t file) {
    return WinHandleTraits::IsValid(reinterpret_cast<HANDLE>(file));
}

bool NativeFileTraits::Close(intptr_t file) {
    return WinHandleTraits::Close(reinterpret_cast<HANDLE>(file));
}

} // namespace platform
