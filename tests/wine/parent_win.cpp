// The parent application for the Wine end-to-end cases, as a Windows console program: creates
// the control pipe "\\.\pipe\<name>", starts ecgcomm.exe with "-pipename <name>" added, and then
// writes end events as its standard input tells it. The Linux test driver decides when (it
// watches the log files); this program only does what needs a Windows process.
//
//   parent_win.exe <pipe name> <ecgcomm.exe> [ecgcomm arguments...]
//
// Standard input, one command per line: "first" writes 0x8E, "second" writes 0x8F, "byte HH"
// writes that byte, "close" closes the parent's end of the pipe, "ctrl N" sends console event N
// (0 Ctrl+C, 1 Ctrl+Break) to the process. With ECGWIN_CONSOLE=1 in the environment the parent
// first gets a console of its own (Wine gives a program started from a pipe none) and starts the
// process in a new process group on it, so that console events can reach it. Standard output
// gets lines "parent: ..."; the last is "parent: process exited with code N", and N is also this
// program's exit code. Test program only: never shipped.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE g_process = nullptr;

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::printf("parent: ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    for (char c : arg) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Reports the child's exit and ends this program with the same code, whatever the main thread
// is waiting for.
DWORD WINAPI WatchChild(void*) {
    WaitForSingleObject(g_process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(g_process, &code);
    Say("process exited with code %lu", static_cast<unsigned long>(code));
    ExitProcess(code);
    return 0;
}

// The client has connected when ConnectNamedPipe succeeds or says it already had.
bool EnsureConnected(HANDLE pipe, bool* connected) {
    if (*connected)
        return true;
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        return false;
    *connected = true;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: parent_win <pipe name> <ecgcomm.exe> [arguments...]\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::string path = "\\\\.\\pipe\\" + name;
    HANDLE pipe = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4095, 4095,
                                   1000, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        Say("cannot create the pipe, error %lu", GetLastError());
        return 2;
    }

    std::string command = Quoted(argv[2]);
    for (int i = 3; i < argc; ++i)
        command += " " + Quoted(argv[i]);
    command += " -pipename " + Quoted(name);
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    const char* console = std::getenv("ECGWIN_CONSOLE");
    const bool ownConsole = console != nullptr && std::strcmp(console, "1") == 0;
    if (ownConsole) {
        FreeConsole();
        if (!AllocConsole())
            Say("cannot get a console, error %lu", GetLastError());
    }
    std::string mutableCommand = command;
    if (!CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, FALSE,
                        ownConsole ? CREATE_NEW_PROCESS_GROUP : 0, nullptr, nullptr, &si, &pi)) {
        Say("cannot start the process, error %lu", GetLastError());
        return 2;
    }
    CloseHandle(pi.hThread);
    g_process = pi.hProcess;
    Say("started process %lu", pi.dwProcessId);
    CreateThread(nullptr, 0, WatchChild, nullptr, 0, nullptr);

    bool connected = false;
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        int value = -1;
        if (std::strcmp(line, "first") == 0)
            value = 0x8E;
        else if (std::strcmp(line, "second") == 0)
            value = 0x8F;
        else if (std::strncmp(line, "byte ", 5) == 0)
            value = static_cast<int>(std::strtol(line + 5, nullptr, 16)) & 0xFF;
        if (std::strncmp(line, "ctrl ", 5) == 0) {
            const DWORD event = static_cast<DWORD>(std::strtoul(line + 5, nullptr, 10));
            if (GenerateConsoleCtrlEvent(event, pi.dwProcessId))
                Say("sent console event %lu", static_cast<unsigned long>(event));
            else
                Say("console event %lu failed, error %lu", static_cast<unsigned long>(event),
                    GetLastError());
            continue;
        }
        if (std::strcmp(line, "close") == 0) {
            if (pipe != INVALID_HANDLE_VALUE) {
                FlushFileBuffers(pipe);
                DisconnectNamedPipe(pipe);
                CloseHandle(pipe);
                pipe = INVALID_HANDLE_VALUE;
            }
            Say("closed the pipe");
            continue;
        }
        if (value < 0 || pipe == INVALID_HANDLE_VALUE) {
            Say("ignored the command \"%s\"", line);
            continue;
        }
        if (!EnsureConnected(pipe, &connected)) {
            Say("the process never connected, error %lu", GetLastError());
            continue;
        }
        const unsigned char byte = static_cast<unsigned char>(value);
        DWORD written = 0;
        if (WriteFile(pipe, &byte, 1, &written, nullptr) && written == 1)
            Say("wrote end event 0x%02X", byte);
        else
            Say("write failed, error %lu", GetLastError());
    }
    // Standard input ended: wait for the process, whose end finishes this program.
    WaitForSingleObject(g_process, INFINITE);
    Sleep(INFINITE);
    return 0;
}
