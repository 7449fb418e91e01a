// POSIX durable file operations: open(O_EXCL), write loop, fsync, a move that never replaces an
// existing target, and fsync of the directory after the move. The move works on any file system:
// link()+unlink() where hard links exist, renameat2(RENAME_NOREPLACE) where they do not (exFAT,
// FAT, many FUSE and network mounts refuse link()), and a checked rename where even that flag is
// refused.
#include "platform/durable_file.h"

#include "platform/posix/unique_fd.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

// Refusals that say "this file system has no hard links", not "the name is taken".
bool LinkRefused(int error) {
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// Refusals that say "this file system (or kernel) cannot rename without replacing".
bool NoReplaceRefused(int error) {
    return error == EINVAL || error == ENOSYS;
}

int RenameNoReplace(const char* from, const char* to) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 28))
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
#elif defined(SYS_renameat2)
    // An older C library without the wrapper: the kernel call itself (flag 1 = no replace).
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u));
#else
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

bool DurableCreateExclusive(const std::string& path, DurableFile* file) {
    file->handle = UniqueFile(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    return file->handle.IsValid();
}

bool DurableWriteAll(DurableFile* file, const uint8_t* data, size_t length) {
    const int fd = static_cast<int>(file->handle.Get());
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
    return ::fsync(static_cast<int>(file->handle.Get())) == 0;
}

bool DurableClose(DurableFile* file) {
    return file->handle.Close();
}

bool DurableRenameNoReplace(const std::string& from, const std::string& to) {
    // link() fails with EEXIST instead of replacing, which rename() would do silently.
    if (::link(from.c_str(), to.c_str()) == 0) {
        // Should the unlink fail, both names hold the same bytes; the target is complete.
        ::unlink(from.c_str());
        return true;
    }
    if (!LinkRefused(errno))
        return false;
    if (RenameNoReplace(from.c_str(), to.c_str()) == 0)
        return true;
    if (!NoReplaceRefused(errno))
        return false;
    return DurableRenameChecked(from, to);
}

// The last resort, for file systems that offer neither hard links nor a rename that refuses an
// existing target. No lock file is needed: the .TMP is the lock. Storage creates it with O_EXCL
// under a name made from the .ECG name, so a process that is about to move a file to some .ECG
// holds that .TMP exclusively, and two processes storing this way can never be between the
// check and the rename for the same .ECG at once; the later one sees the earlier one's .ECG and
// refuses. A crash leaves at most the .TMP, which is never taken for a received file and makes
// later stores skip that name, so there is no stale lock to clear. What this cannot cover is a
// program that creates that very .ECG name by other means in the instant between the check and
// the rename: such file systems give no way to close that gap, and the names carry the time of
// day and a random part.
bool DurableRenameChecked(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 || errno != ENOENT)
        return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool DurableSyncDirectory(const std::string& directory) {
    UniqueFd fd(
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.IsValid())
        return false;
    const int rc = ::fsync(fd.Get());
    const int error = errno;
    fd.Close();
    // Some file systems cannot flush a directory at all; they write its entries with the files'
    // own flushes or their own journal. Refusing every recording there would help nobody.
    return rc == 0 || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

bool DurableDelete(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

} // namespace platform
