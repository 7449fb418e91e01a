// Linux log file handle: open(2) plus flock(2) advisory locks for the sharing rules.
#include "platform/log_file.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {
namespace {

// ENOENT for a missing file in an existing directory is "file not found"; a missing
// directory on the way is "path not found", as Windows tells them apart.
uint32_t OpenError(int err, const std::string& path) {
    if (err == ENOENT) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        struct stat st {};
        if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return kErrorFileNotFound;
        return kErrorPathNotFound;
    }
    if (err == ENOTDIR)
        return kErrorPathNotFound;
    if (err == EWOULDBLOCK)
        return kErrorSharingViolation;
    return 5; // access denied and everything else
}

int Fd(const UniqueFile& file) {
    return static_cast<int>(file.Get());
}

} // namespace

bool SharedReadFile::IsOpen() const {
    return m_handle.IsValid();
}

bool SharedReadFile::OpenExistingForRead(const std::string& path) {
    Close();
    UniqueFile file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.IsValid()) {
        m_lastError = OpenError(errno, path);
        return false;
    }
    // A reader that does not share writes: refused while someone writes the file.
    if (flock(Fd(file), LOCK_SH | LOCK_NB) != 0) {
        m_lastError = OpenError(errno, path);
        return false;
    }
    m_handle = std::move(file);
    m_lastError = 0;
    return true;
}

namespace {

bool OpenForWriting(const std::string& path, bool truncate, UniqueFile* handle,
                    uint32_t* lastError) {
    struct stat before {};
    const bool existed = stat(path.c_str(), &before) == 0;
    UniqueFile file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!file.IsValid()) {
        *lastError = OpenError(errno, path);
        return false;
    }
    if (flock(Fd(file), LOCK_EX | LOCK_NB) != 0) {
        *lastError = OpenError(errno, path);
        return false;
    }
    // Truncate only once the lock shows nobody else is using the file.
    if (truncate && ftruncate(Fd(file), 0) != 0) {
        *lastError = 5;
        return false;
    }
    *handle = std::move(file);
    *lastError = existed ? kErrorAlreadyExists : 0;
    return true;
}

} // namespace

bool SharedReadFile::OpenAlways(const std::string& path) {
    Close();
    return OpenForWriting(path, false, &m_handle, &m_lastError);
}

bool SharedReadFile::CreateAlways(const std::string& path) {
    Close();
    return OpenForWriting(path, true, &m_handle, &m_lastError);
}

uint64_t SharedReadFile::Size() const {
    struct stat st {};
    if (!m_handle.IsValid() || fstat(Fd(m_handle), &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool SharedReadFile::SeekToEnd() {
    return m_handle.IsValid() && lseek(Fd(m_handle), 0, SEEK_END) >= 0;
}

bool SharedReadFile::Write(const char* data, size_t size) {
    if (!m_handle.IsValid())
        return false;
    while (size > 0) {
        const ssize_t n = write(Fd(m_handle), data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SharedReadFile::Flush() {
    return m_handle.IsValid() && fsync(Fd(m_handle)) == 0;
}

void SharedReadFile::Close() {
    m_handle.Close(); // also releases the lock
}

bool SharedReadFile::LastWriteLocal(LocalTime* out) const {
    struct stat st {};
    if (!m_handle.IsValid() || fstat(Fd(m_handle), &st) != 0)
        return false;
    tm parts{};
    if (localtime_r(&st.st_mtime, &parts) == nullptr)
        return false;
    out->year = parts.tm_year + 1900;
    out->month = parts.tm_mon + 1;
    out->day = parts.tm_mday;
    out->hour = parts.tm_hour;
    out->minute = parts.tm_min;
    out->second = parts.tm_sec;
    out->millisecond = 0;
    return true;
}

} // namespace platform
