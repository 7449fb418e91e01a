// Control pipe on Windows: the named pipe "\\.\pipe\<name>".
// The client (the only role the process uses) opens with the overlapped flag and waits for each
// read together with an interrupt event, so that a process stopping for another reason need
// not wait for the parent to write. The server role keeps the flags of the original tool side:
// overlapped handle, no-wait byte pipe, unlimited instances, 4095-byte buffers; its reads and
// writes come back at once when nothing is there (ERROR_NO_DATA) or no client has connected
// yet (ERROR_PIPE_LISTENING).
#include "platform/pipe.h"

#include "platform/win32/unique_handle_win32.h"

#include <windows.h>

#include <sddl.h>
#include <vector>

namespace platform {

// Its handles are closed once, by the deleter of its owner.
class PipeHandle {
public:
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE interrupt = nullptr; // manual-reset event: set, every wait for a read or write ends
    bool server = false;
    bool connected = false;
};

std::string PipePath(const std::string& name) {
    return "\\\\.\\pipe\\" + name;
}

namespace {
// The pipe object for an open handle, with its interrupt event; null (the handle closed) when
// the event cannot be created.
UniquePipe NewHandle(HANDLE h, bool server, uint32_t* error) {
    UniquePipe pipe(new PipeHandle());
    pipe->handle = h;
    pipe->server = server;
    pipe->interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (pipe->interrupt == nullptr) {
        *error = GetLastError();
        return nullptr;
    }
    return pipe;
}
} // namespace

UniquePipe PipeCreate(const std::string& name, uint32_t* error) {
    const std::string path = PipePath(name);
    HANDLE h = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT,
                                PIPE_UNLIMITED_INSTANCES, 4095, 4095, 1000, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    return NewHandle(h, true, error);
}

namespace {

// Identification only: whoever created the pipe may learn who connected, never act as this
// process (a squatting server could otherwise impersonate it).
HANDLE OpenClient(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
}

// The TOKEN_USER of a process, as raw bytes; empty when it cannot be read.
std::vector<BYTE> UserOf(HANDLE process) {
    std::vector<BYTE> user;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    user.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
        user.clear();
    CloseHandle(token);
    return user;
}

PSID SidOf(std::vector<BYTE>& user) {
    return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
}

std::string DescribeSid(PSID sid) {
    char name[256], domain[256];
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return std::string("user ") + domain + "\\" + name;
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "an unknown user";
    const std::string described = std::string("user ") + text;
    LocalFree(text);
    return described;
}

// A named pipe can be created by anyone before the parent does; only a server process that
// runs as this process's own user may hold it. Systems that cannot name a pipe's server
// process get the identification limit alone.
bool ServerAccepted(HANDLE pipe, uint32_t* error, std::string* foreignOwner) {
    using ServerProcessId = BOOL(WINAPI*)(HANDLE, PULONG);
    const auto serverProcessId = reinterpret_cast<ServerProcessId>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId")));
    if (serverProcessId == nullptr)
        return true;
    ULONG pid = 0;
    if (!serverProcessId(pipe, &pid)) {
        *error = GetLastError();
        return false;
    }
    std::vector<BYTE> ours = UserOf(GetCurrentProcess()), theirs;
    HANDLE server = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (server != nullptr) {
        theirs = UserOf(server);
        CloseHandle(server);
    }
    if (!ours.empty() && !theirs.empty() && EqualSid(SidOf(ours), SidOf(theirs)))
        return true;
    *error = ERROR_ACCESS_DENIED;
    *foreignOwner = "process " + std::to_string(pid) + " of " +
                    (theirs.empty() ? std::string("a user hidden from this process")
                                    : DescribeSid(SidOf(theirs)));
    return false;
}

// One read or write on the overlapped handle, waited for when the system queues it, until it
// completes or the pipe is interrupted.
bool OverlappedIo(PipeHandle* pipe, bool write, void* buffer, uint32_t size, DWORD* done) {
    if (WaitForSingleObject(pipe->interrupt, 0) == WAIT_OBJECT_0) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    UniqueWinHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.Get();
    if (ov.hEvent == nullptr)
        return false;
    BOOL ok = write ? WriteFile(pipe->handle, buffer, size, done, &ov)
                    : ReadFile(pipe->handle, buffer, size, done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        const HANDLE waits[] = {ov.hEvent, pipe->interrupt};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            CancelIo(pipe->handle);
        // The OVERLAPPED lives on this stack: the call must be over before it goes.
        ok = GetOverlappedResult(pipe->handle, &ov, done, TRUE);
    }
    const DWORD error = GetLastError();
    event.Close();
    SetLastError(error);
    return ok != 0;
}

// A no-wait server learns whether its client is there by asking; it never waits for one.
bool EnsureConnected(PipeHandle* pipe, uint32_t* error) {
    if (!pipe->server || pipe->connected)
        return true;
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof ov);
    UniqueWinHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.Get();
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
    event.Close();
    if (result != ERROR_PIPE_CONNECTED) {
        *error = result == ERROR_IO_PENDING ? ERROR_PIPE_LISTENING : result;
        return false;
    }
    pipe->connected = true;
    return true;
}

} // namespace

UniquePipe PipeConnect(const std::string& name, uint32_t* error, std::string* foreignOwner) {
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
    if (!ServerAccepted(h, error, foreignOwner)) {
        CloseHandle(h);
        return nullptr;
    }
    return NewHandle(h, false, error);
}

bool PipeRead(PipeHandle* pipe, void* buffer, uint32_t size, uint32_t* bytesRead, uint32_t* error) {
    DWORD got = 0;
    if (bytesRead)
        *bytesRead = 0;
    if (!EnsureConnected(pipe, error))
        return false;
    const bool ok = OverlappedIo(pipe, false, buffer, size, &got);
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
    const bool ok = OverlappedIo(pipe, true, const_cast<void*>(buffer), size, &put);
    if (!ok) {
        *error = GetLastError();
        return false;
    }
    if (bytesWritten)
        *bytesWritten = put;
    return true;
}

void PipeInterrupt(PipeHandle* pipe) {
    if (pipe)
        SetEvent(pipe->interrupt);
}

void PipeHandleDeleter::operator()(PipeHandle* pipe) const {
    if (!pipe)
        return;
    if (pipe->handle != INVALID_HANDLE_VALUE)
        CloseHandle(pipe->handle);
    if (pipe->interrupt != nullptr)
        CloseHandle(pipe->interrupt);
    delete pipe;
}

} // namespace platform
