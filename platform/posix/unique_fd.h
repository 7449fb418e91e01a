// A file descriptor owned by one object and closed exactly once. For the POSIX implementations
// only.
#pragma once
#include "platform/unique_handle.h"

#include <unistd.h>

namespace platform {

struct FdTraits {
    using Native = int;
    static int None() { return -1; }
    static bool IsValid(int fd) { return fd >= 0; }
    static bool Close(int fd) { return ::close(fd) == 0; }
};
using UniqueFd = UniqueHandle<FdTraits>;

} // namespace platform
