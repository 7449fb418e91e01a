// The process entry: start-up order, the file loop and the shut-down order of the
// communication process. The parts it creates (front-end, control pipe, end-event thread)
// come through EntrySeams, so tests can drive the order with doubles and main() plugs in the
// real classes. Runs on the main thread only.
#pragma once
#include "server/command_line.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class CCSIComm;
class CCmnPipe;

// A thread that is created suspended and runs its procedure only after Resume().
class CSuspendedThread {
public:
    // Null when the thread cannot be created.
    static std::unique_ptr<CSuspendedThread> Create(std::function<unsigned()> procedure);
    ~CSuspendedThread();
    CSuspendedThread(const CSuspendedThread&) = delete;
    CSuspendedThread& operator=(const CSuspendedThread&) = delete;

    void Resume();
    // True while the thread can still be waited for.
    bool IsValid() const { return m_thread.joinable(); }
    // Waits for the procedure to return (resuming the thread first if nobody did).
    void Join();
    unsigned ExitCode() const { return m_exitCode; }

private:
    CSuspendedThread() = default;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_resumed;
    bool m_bResumed = false;
    unsigned m_exitCode = 0;
};

// Writes the text to the standard error stream at once.
void WriteToStandardError(const std::string& text);

struct EntrySeams {
    // Application framework set-up; empty means there is nothing to initialise.
    std::function<bool()> initFramework;
    // The front-end for the parsed command line: the modem variant when useModem is true.
    // Null when it cannot be created.
    std::function<std::unique_ptr<CCSIComm>(const CommandLine& commandLine, bool useModem)>
        makeFrontEnd;
    // A control-pipe object (null when it cannot be created) and its client-side open.
    std::function<std::unique_ptr<CCmnPipe>()> makePipe;
    std::function<bool(CCmnPipe& pipe, const std::string& name)> openPipe;
    // The end-event thread's procedure and the creation of a suspended thread for it.
    std::function<unsigned()> endEventProcedure;
    std::function<std::unique_ptr<CSuspendedThread>(std::function<unsigned()>)> makeThread =
        CSuspendedThread::Create;
    // Stop requests from outside (signals, console events): waits for the next one and names
    // it, false once released; and the release. Empty: the process takes no such requests.
    std::function<bool(std::string*)> waitStopRequest;
    std::function<void()> releaseStopRequests;
    // Where the lines for a person go: why the parameters are invalid, why start-up failed.
    std::function<void(const std::string& text)> console = WriteToStandardError;
};

// The version text logged at start-up.
extern const char* const kProcessVersion;

// Runs the whole process and returns its exit code: 1 for a framework failure or invalid
// parameters, 0 otherwise.
int RunProcessEntry(int argc, const char* const* argv, const EntrySeams& seams);
