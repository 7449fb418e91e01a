// POSIX durable file operations: open(O_EXCL), write loop, fsync, link()+unlink() so that an
// existing target is never replaced, and fsync of the directory after the rename.
#include "platform/durable_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool DurableCreateExclusive(const std::string& path, DurableFile* file) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    file->handle = fd;
    return true;
}

bool DurableWriteAll(DurableFile* file, const uint8_t* data, size_t length) {
    const int fd = static_cast<int>(file->handle);
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0)
            return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool DurableFlush(DurableFile* file) {
    return ::fsync(static_cast<int>(file->handle)) == 0;
}

bool DurableClose(DurableFile* file) {
    if (file->handle < 0)
        return true;
    const int rc = ::close(static_cast<int>(file->handle));
    file->handle = -1;
    return rc == 0;
}

bool DurableRenameNoReplace(const std::string& from, const std::string& to) {
    // link() fails with EEXIST instead of replacing, which rename() would do silently.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    // Should the unlink fail, both names hold the same bytes; the target is complete either way.
    ::unlink(from.c_str());
    return true;
}

bool DurableSyncDirectory(const std::string& directory) {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool DurableDelete(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

} // namespace platform
