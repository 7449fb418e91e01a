// Windows log file handle: CreateFileA with read/write access and FILE_SHARE_READ.
#include "platform/log_file.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE H(const UniqueFile& file) {
    return reinterpret_cast<HANDLE>(file.Get());
}

bool OpenWith(const std::string& path, DWORD access, DWORD disposition, UniqueFile* handle,
              uint32_t* lastError) {
    SetLastError(0);
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    *lastError = GetLastError();
    if (h == INVALID_HANDLE_VALUE)
        return false;
    *handle = UniqueFile(reinterpret_cast<intptr_t>(h));
    return true;
}

} // namespace

bool SharedReadFile::IsOpen() const {
    return m_handle.IsValid();
}

bool SharedReadFile::OpenExistingForRead(const std::string& path) {
    Close();
    return OpenWith(path, GENERIC_READ, OPEN_EXISTING, &m_handle, &m_lastError);
}

bool SharedReadFile::OpenAlways(const std::string& path) {
    Close();
    return OpenWith(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, &m_handle, &m_lastError);
}

bool SharedReadFile::CreateAlways(const std::string& path) {
    Close();
    return OpenWith(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, &m_handle, &m_lastError);
}

uint64_t SharedReadFile::Size() const {
    if (!IsOpen())
        return 0;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(H(m_handle), &size))
        return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

bool SharedReadFile::SeekToEnd() {
    return IsOpen() &&
           SetFilePointer(H(m_handle), 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER;
}

bool SharedReadFile::Write(const char* data, size_t size) {
    if (!IsOpen())
        return false;
    DWORD written = 0;
    return WriteFile(H(m_handle), data, static_cast<DWORD>(size), &written, nullptr) != 0;
}

bool SharedReadFile::Flush() {
    return IsOpen() && FlushFileBuffers(H(m_handle)) != 0;
}

void SharedReadFile::Close() {
    m_handle.Close();
}

bool SharedReadFile::LastWriteLocal(LocalTime* out) const {
    FILETIME written{}, local{};
    SYSTEMTIME st{};
    if (!IsOpen() || !GetFileTime(H(m_handle), nullptr, nullptr, &written) ||
        !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &st))
        return false;
    out->year = st.wYear;
    out->month = st.wMonth;
    out->day = st.wDay;
    out->hour = st.wHour;
    out->minute = st.wMinute;
    out->second = st.wSecond;
    out->millisecond = st.wMilliseconds;
    return true;
}

} // namespace platform
