// Control pipe on Windows: the named pipe "\\.\pipe\<name>".
// The client (the only role the process uses) opens without the overlapped flag because it
// reads with plain blocking ReadFile calls. The server role keeps the flags of the original
// tool side: overlapped handle, no-wait byte pipe, unlimited instances, 4095-byte buffers; its
// reads and writes therefore go through an OVERLAPPED and come back at once when nothing is
// there (ERROR_NO_DATA) or no client has connected yet (ERROR_PIPE_LISTENING).
#include "platform/pipe.h"

#include <windows.h>

namespace platform {

class PipeHandle {
public:
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool server = false;
    bool connected = false;
};

std::string PipePath(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

PipeHandle* PipeCreate(const std::string& name, uint32_t* error) {
    const std::string path = PipePath(name);
    HANDLE h = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT,
                                PIPE_UNLIMITED_INSTANCES, 4095, 4095, 1000, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    PipeHandle* pipe = new PipeHandle();
    pipe->handle = h;
    pipe->server = true;
    return pipe;
}

namespace {

HANDLE OpenClient(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// One read or write on the server's overlapped handle, waited for when the system queues it.
bool OverlappedIo(PipeHandle* pipe, bool write, void* buffer, uint32_t size, DWORD* done) {
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr)
        return false;
    BOOL ok = write ? WriteFile(pipe->handle, buffer, size, done, &ov)
                    : ReadFile(pipe->handle, buffer, size, done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(pipe->handle, &ov, done, TRUE);
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return ok != 0;
}

// A no-wait server learns whether its client is there by asking; it never waits for one.
bool EnsureConnected(PipeHandle* pipe, uint32_t* error) {
    if (!pipe->server || pipe->connected)
        return true;
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        *error = GetLastError();
        return false;
    }
    const BOOL ok = ConnectNamedPipe(pipe->handle, &ov);
    const DWORD result = ok ? ERROR_PIPE_CONNECTED : GetLastError();
    if (result == ERROR_IO_PENDING) {
        // The OVERLAPPED lives on this stack: the cancelled call must be over before it goes.
        DWORD ignored = 0;
        CancelIo(pipe->handle);
        GetOverlappedResult(pipe->handle, &ov, &ignored, TRUE);
    }
    CloseHandle(ov.hEvent);
    if (result != ERROR_PIPE_CONNECTED) {
        *error = result == ERROR_IO_PENDING ? ERROR_PIPE_LISTENING : result;
        return false;
    }
    pipe->connected = true;
    return true;
}

} // namespace

PipeHandle* PipeConnect(const std::string& name, uint32_t* error) {
    const std::string path = PipePath(name);
    HANDLE h = OpenClient(path);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        if (*error != ERROR_PIPE_BUSY)
            return nullptr;
        // Every instance is busy: wait for one to come free, then try once more.
        if (!WaitNamedPipeA(path.c_str(), 20000)) {
            *error = GetLastError();
            return nullptr;
        }
        h = OpenClient(path);
        if (h == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            return nullptr;
        }
    }
    PipeHandle* pipe = new PipeHandle();
    pipe->handle = h;
    return pipe;
}

bool PipeRead(PipeHandle* pipe, void* buffer, uint32_t size, uint32_t* bytesRead, uint32_t* error) {
    DWORD got = 0;
    if (bytesRead)
        *bytesRead = 0;
    if (!EnsureConnected(pipe, error))
        return false;
    const bool ok = pipe->server ? OverlappedIo(pipe, false, buffer, size, &got)
                                 : ReadFile(pipe->handle, buffer, size, &got, nullptr) != 0;
    if (!ok) {
        *error = GetLastError();
        return false;
    }
    if (bytesRead)
        *bytesRead = got;
    return true;
}

bool PipeWrite(PipeHandle* pipe, const void* buffer, uint32_t size, uint32_t* bytesWritten,
               uint32_t* error) {
    DWORD put = 0;
    if (bytesWritten)
        *bytesWritten = 0;
    if (!EnsureConnected(pipe, error))
        return false;
    const bool ok = pipe->server ? OverlappedIo(pipe, true, const_cast<void*>(buffer), size, &put)
                                 : WriteFile(pipe->handle, buffer, size, &put, nullptr) != 0;
    if (!ok) {
        *error = GetLastError();
        return false;
    }
    if (bytesWritten)
        *bytesWritten = put;
    return true;
}

void PipeClose(PipeHandle* pipe) {
    if (!pipe)
        return;
    if (pipe->handle != INVALID_HANDLE_VALUE)
        CloseHandle(pipe->handle);
    delete pipe;
}

} // namespace platform
