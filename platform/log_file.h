// A file handle with the sharing rules of the log files: this process reads and writes, other
// processes may only read while it is open. Windows: CreateFileA with FILE_SHARE_READ.
// Linux: advisory flock locks; a writer holds an exclusive lock and a reader that must not see
// concurrent writers a shared one, so a log file that another process holds open for writing
// (or reads without sharing writes) cannot be opened here. Plain readers (cat, tail) that take
// no lock can always read.
#pragma once
#include "platform/clock.h"
#include "platform/unique_handle.h"

#include <cstdint>
#include <string>

namespace platform {

// Error codes in the Win32 numbering, which the log file scan distinguishes.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorAlreadyExists = 183;

class SharedReadFile {
public:
    SharedReadFile() = default;
    ~SharedReadFile() = default;
    SharedReadFile(const SharedReadFile&) = delete;
    SharedReadFile& operator=(const SharedReadFile&) = delete;

    // Opens an existing file for reading only, sharing reads (OPEN_EXISTING).
    bool OpenExistingForRead(const std::string& path);
    // Opens for reading and writing, creating the file when it is missing (OPEN_ALWAYS).
    bool OpenAlways(const std::string& path);
    // Opens for reading and writing, truncating an existing file (CREATE_ALWAYS).
    bool CreateAlways(const std::string& path);

    bool IsOpen() const;
    // Size in bytes; 0 when closed or unknown.
    uint64_t Size() const;
    bool SeekToEnd();
    // Writes all bytes at the current position.
    bool Write(const char* data, size_t size);
    // Pushes written data to the disk (FlushFileBuffers / fsync).
    bool Flush();
    void Close();
    // Last-write time in local time; false when it cannot be read or converted.
    bool LastWriteLocal(LocalTime* out) const;
    // Error code of the last open that failed (0 after a clean open; kErrorAlreadyExists
    // after OpenAlways/CreateAlways found the file).
    uint32_t LastError() const { return m_lastError; }

private:
    UniqueFile m_handle;
    uint32_t m_lastError = 0;
};

} // namespace platform
