// The POSIX meaning of a platform file handle: a file descriptor.
#include "platform/unique_handle.h"

#include <unistd.h>

namespace platform {

bool NativeFileTraits::IsValid(intptr_t file) {
    return file >= 0;
}

bool NativeFileTraits::Close(intptr_t file) {
    return ::close(static_cast<int>(file)) == 0;
}

} // namespace platform
