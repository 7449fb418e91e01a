// parent_win.exe <pipe name> <ecgcomm.exe> [arguments...]: the parent application on Windows.
// Creates the control pipe "\\.\pipe\<name>", starts ecgcomm.exe with "-pipename <name>" added
// and writes an end event for each line "first" (0x8E) or "second" (0x8F) on its standard input,
// typed by hand or sent by the Wine end-to-end cases; "ctrl N" sends console event N (0 Ctrl+C,
// 1 Ctrl+Break) to the process. With ECGWIN_CONSOLE=1 this program first gets a console of its
// own (Wine gives one started from a pipe none) and starts the process in a new process group on
// it, so that console events can reach it. Prints "parent: ..." lines and exits with the
// process's exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HANDLE g_process = nullptr;
const ULONGLONG g_start = GetTickCount64();

double Seconds() { // since this program started, as the Linux parent reports them
    return static_cast<double>(GetTickCount64() - g_start) / 1000.0;
}

std::string Quoted(const std::string& arg) {
    return arg.empty() || arg.find_first_of(" \t\"") != std::string::npos ? "\"" + arg + "\"" : arg;
}

// Ends this program with the child's exit code, whatever the main thread waits for.
DWORD WINAPI WatchChild(void*) {
    WaitForSingleObject(g_process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(g_process, &code);
    std::printf("parent: process exited with code %lu after %.3f\n",
                static_cast<unsigned long>(code), Seconds());
    std::fflush(stdout);
    ExitProcess(code);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return std::fprintf(stderr, "usage: parent_win <pipe> <ecgcomm.exe> [arguments...]\n"
                                    "then type first or second to send that end event\n"),
               2;
    HANDLE pipe =
        CreateNamedPipeA(("\\\\.\\pipe\\" + std::string(argv[1])).c_str(), PIPE_ACCESS_DUPLEX,
                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4095, 4095, 1000, nullptr);
    std::string command = Quoted(argv[2]);
    for (int i = 3; i < argc; ++i)
        command += " " + Quoted(argv[i]);
    command += " -pipename " + Quoted(argv[1]);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const char* console = std::getenv("ECGWIN_CONSOLE");
    const bool ownConsole = console != nullptr && std::strcmp(console, "1") == 0;
    if (ownConsole && (FreeConsole(), !AllocConsole()))
        std::printf("parent: cannot get a console, error %lu\n", GetLastError());
    if (pipe == INVALID_HANDLE_VALUE ||
        !CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE,
                        ownConsole ? CREATE_NEW_PROCESS_GROUP : 0, nullptr, nullptr, &si, &pi)) {
        std::printf("parent: cannot start, error %lu\n", GetLastError());
        return 2;
    }
    CloseHandle(pi.hThread);
    g_process = pi.hProcess;
    CreateThread(nullptr, 0, WatchChild, nullptr, 0, nullptr);
    bool connected = false;
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        if (std::strncmp(line, "ctrl ", 5) == 0) {
            const DWORD event = std::strtoul(line + 5, nullptr, 10);
            const bool sent = GenerateConsoleCtrlEvent(event, pi.dwProcessId);
            std::printf("parent: console event %lu %s\n", event, sent ? "sent" : "failed");
            std::fflush(stdout);
            continue;
        }
        const bool first = std::strncmp(line, "first", 5) == 0;
        if (!first && std::strncmp(line, "second", 6) != 0)
            continue;
        connected =
            connected || ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
        const unsigned char byte = first ? 0x8E : 0x8F;
        DWORD written = 0;
        const bool ok = connected && WriteFile(pipe, &byte, 1, &written, nullptr) && written == 1;
        std::printf("parent: %s end event 0x%02X at %.3f\n", ok ? "wrote" : "could not write", byte,
                    Seconds());
        std::fflush(stdout);
    }
    WaitForSingleObject(g_process, INFINITE); // its end finishes this program
    Sleep(INFINITE);
    return 0;
}
