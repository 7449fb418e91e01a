// Start-up, file loop and shut-down of the communication process.
#include "server/process_entry.h"

#include "comm/csi_comm.h"
#include "logging/error_logger.h"
#include "logging/log.h"
#include "platform/fs.h"
#include "platform/serial.h"
#include "server/cmn_pipe.h"
#include "server/process_state.h"

#include <cstdio>
#include <memory>
#include <new>
#include <system_error>

const char* const kProcessVersion = "V7.0";

void WriteToStandardError(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

namespace {

const char* const kSource = "ServerMain";

// The parts the entry creates and ends. The globals of process_state.h only let the other threads
// see the first three; the stop-request thread is not shared, as no other thread touches it.
struct EntryParts {
    std::unique_ptr<CCSIComm> frontEnd;
    std::unique_ptr<CCmnPipe> pipe;
    std::unique_ptr<CSuspendedThread> ipcThread;
    std::unique_ptr<CSuspendedThread> stopThread;
};

// Where the console lines say the log went, taken when the log was opened.
std::string g_strLogWhere;

void Info(const char* text) {
    LogMessage(kSource, text, LOG_INFORMATION);
}
void Error(const char* text) {
    LogMessage(kSource, text, LOG_ERROR);
}

// A person starting the process by hand sees why it ended at once; the log has the details.
void Tell(const EntrySeams& seams, const std::string& what) {
    if (seams.console)
        seams.console("ecgcomm: " + what + "; " + g_strLogWhere + "\n");
}

// From validation to the end of the file loop; every early return goes on to shut-down,
// which undoes only what exists.
int StartAndServe(const CommandLine& cl, const EntrySeams& seams, EntryParts* parts) {
    if (!ValidateParameters(cl.mask)) {
        Error("Unable to start CSI task. Parameters are invalid / missing.");
        Tell(seams, "invalid parameters: " + DescribeInvalidParameters(cl));
        if (seams.console)
            seams.console(kUsage);
        return 1;
    }
    parts->frontEnd = seams.makeFrontEnd ? seams.makeFrontEnd(cl, g_bUseModem) : nullptr;
    g_pCommInterface = parts->frontEnd.get();
    if (g_pCommInterface == nullptr) {
        Error("Error creating communication-interface.");
        return 0;
    }
    if (g_pCommInterface->StartServerMode() != 0) {
        // The front-end has logged why: the port, the modem or the task thread.
        Tell(seams, std::string("server mode could not start ") +
                        (g_bUseModem ? "with the modem on COM" : "on COM") +
                        std::to_string(cl.comPort) + " (" +
                        platform::SerialDeviceName(static_cast<unsigned>(cl.comPort)) + ")");
        return 0;
    }
    if (cl.pipeName != "nopipe") {
        parts->pipe = seams.makePipe ? seams.makePipe() : nullptr;
        g_pPipe = parts->pipe.get();
        if (g_pPipe == nullptr) {
            Error("Error creating pipe.");
            return 0;
        }
        if (!seams.openPipe || !seams.openPipe(*g_pPipe, cl.pipeName)) {
            Error("Error opening pipe.");
            // A pipe that another user created first: say whose, so that it can be found.
            const std::string& owner = g_pPipe->ForeignOwner();
            if (!owner.empty())
                LogMessage(kSource,
                           "Control pipe \"" + g_pPipe->Name() + "\" refused: it belongs to " +
                               owner + ", not to this process's user.",
                           LOG_ERROR);
            Tell(seams, "the control pipe \"" + g_pPipe->Name() + "\" could not be opened" +
                            (owner.empty() ? "" : " (it belongs to " + owner + ")"));
            return 0;
        }
        parts->ipcThread = seams.makeThread && seams.endEventProcedure
                               ? seams.makeThread(seams.endEventProcedure)
                               : nullptr;
        g_pIpcThread = parts->ipcThread.get();
        if (g_pIpcThread == nullptr) {
            Error("Error creating interprocess-communication thread.");
            return 0;
        }
    }
    if (g_bRunning)
        Info("Starting CSI task.");
    if (g_pIpcThread != nullptr)
        g_pIpcThread->Resume();
    // Stop requests are acted on from here on; one that came earlier has been kept.
    if (seams.waitStopRequest && seams.makeThread) {
        const auto wait = seams.waitStopRequest;
        parts->stopThread = seams.makeThread([wait] { return StopRequestThread(wait); });
        if (parts->stopThread == nullptr)
            Error("Error creating stop-request thread.");
        else
            parts->stopThread->Resume();
    }
    while (g_bRunning)
        g_pCommInterface->HandleFileStatus();
    {
        // Under the lock, so that the end-event thread never calls the front-end after this.
        std::lock_guard<std::mutex> guard(g_csShutdown);
        Info("CSI task stopped.");
        g_bCommActive = false;
    }
    return 0;
}

// Ends each part at its place in the order; the destructors of the owners would end them in
// another one.
void ShutDown(const EntrySeams& seams, EntryParts* parts) {
    // Whoever asked for the stop from outside will not write to the pipe: the end-event
    // thread must not wait for the parent. A request that comes while it still waits has the
    // same effect (the stop-request thread runs until after that wait).
    if (g_bStopRequested && g_pPipe != nullptr)
        g_pPipe->InterruptRead();
    if (g_pIpcThread != nullptr) {
        if (!g_pIpcThread->IsValid()) {
            Info("Interprocess-communication thread already exited.");
        } else {
            Info("Waiting for interprocess-communication thread to end.");
            g_pIpcThread->Join();
            Info("Interprocess-communication thread exited.");
        }
        g_pIpcThread = nullptr;
        parts->ipcThread.reset();
    }
    if (parts->stopThread != nullptr) {
        if (seams.releaseStopRequests)
            seams.releaseStopRequests();
        parts->stopThread->Join();
        parts->stopThread.reset();
    }
    if (g_pCommInterface != nullptr) {
        g_pCommInterface = nullptr;
        parts->frontEnd.reset(); // stops the CSI task
    }
    if (g_pPipe != nullptr) {
        g_pPipe = nullptr;
        parts->pipe.reset(); // closes the pipe
    }
    Info("Exiting communication-process.");
    CErrorLogger::DestroyInstance(); // writes what is still pending
}

} // namespace

std::unique_ptr<CSuspendedThread> CSuspendedThread::Create(std::function<unsigned()> procedure) {
    // The constructor is private, out of make_unique's reach.
    std::unique_ptr<CSuspendedThread> owned(new (std::nothrow) CSuspendedThread());
    if (owned == nullptr)
        return nullptr;
    // The thread only uses the object it belongs to, whose destructor waits for it.
    CSuspendedThread* t = owned.get();
    try {
        t->m_thread = std::thread([t, procedure] {
            {
                std::unique_lock<std::mutex> lock(t->m_lock);
                t->m_resumed.wait(lock, [t] { return t->m_bResumed; });
            }
            t->m_exitCode = procedure();
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return owned;
}

void CSuspendedThread::Resume() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bResumed = true;
    m_resumed.notify_all();
}

void CSuspendedThread::Join() {
    if (!m_thread.joinable())
        return;
    Resume(); // a thread that was never resumed would otherwise be waited for forever
    m_thread.join();
}

CSuspendedThread::~CSuspendedThread() {
    Join();
}

int RunProcessEntry(int argc, const char* const* argv, const EntrySeams& seams) {
    if (seams.initFramework && !seams.initFramework()) {
        std::fputs("Fatal Error: MFC initialization failed\n", stderr);
        return 1;
    }
    // The entry runs once per process; setting the shared state here keeps that explicit.
    g_bRunning = true;
    g_bCommActive = true;
    g_bUseModem = false;
    g_bStopRequested = false;

    const CommandLine cl = ParseCommandLine(argc, argv);
    CErrorLogger* logger = CErrorLogger::GetInstance();
    logger->Initialize(cl.directory, "", "logfile_", 1, 0x100000, 0, 1000, 2, true, false);
    // Taken now, before the writer could rotate to the next file.
    g_strLogWhere = logger->IsStarted()
                        ? "log written to " + platform::AbsolutePath(logger->CurrentFile())
                        : "no log file could be opened";
    LogFormat(kSource, LOG_INFORMATION, "Starting communication process. Version %s.",
              kProcessVersion);
    EntryParts parts;
    const int exitCode = StartAndServe(cl, seams, &parts);
    ShutDown(seams, &parts);
    return exitCode;
}
