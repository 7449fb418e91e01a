// Control pipe on Windows: the named pipe "\\.\pipe\<name>". The client opens without the
// overlapped flag because it reads with plain blocking ReadFile calls.
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
    HANDLE h = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
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

bool EnsureConnected(PipeHandle* pipe, uint32_t* error) {
    if (!pipe->server || pipe->connected)
        return true;
    if (!ConnectNamedPipe(pipe->handle, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
        *error = GetLastError();
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
    if (!ReadFile(pipe->handle, buffer, size, &got, nullptr)) {
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
    if (!WriteFile(pipe->handle, buffer, size, &put, nullptr)) {
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
