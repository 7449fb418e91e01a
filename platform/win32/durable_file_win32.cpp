// Win32 durable file operations: CreateFile(CREATE_NEW), WriteFile loop, FlushFileBuffers and
// MoveFileA, which refuses an existing target. NTFS journals directory entries itself, so the
// directory flush has nothing to do.
#include "platform/durable_file.h"

#include <windows.h>

namespace platform {

namespace {
HANDLE AsHandle(const DurableFile* file) {
    return reinterpret_cast<HANDLE>(file->handle.Get());
}
} // namespace

bool DurableCreateExclusive(const std::string& path, DurableFile* file) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    file->handle = UniqueFile(reinterpret_cast<intptr_t>(h));
    return true;
}

bool DurableWriteAll(DurableFile* file, const uint8_t* data, size_t length) {
    while (length > 0) {
        const DWORD chunk = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!::WriteFile(AsHandle(file), data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

bool DurableFlush(DurableFile* file) {
    return ::FlushFileBuffers(AsHandle(file)) != 0;
}

bool DurableClose(DurableFile* file) {
    return file->handle.Close();
}

bool DurableRenameNoReplace(const std::string& from, const std::string& to) {
    return ::MoveFileA(from.c_str(), to.c_str()) != 0;
}

bool DurableRenameChecked(const std::string& from, const std::string& to) {
    return DurableRenameNoReplace(from, to);
}

bool DurableSyncDirectory(const std::string&) {
    return true;
}

bool DurableDelete(const std::string& path) {
    return ::DeleteFileA(path.c_str()) != 0;
}

} // namespace platform
