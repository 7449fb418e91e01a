// The end-event thread: reads single-byte end events from the control pipe and stops the
// process. The stop-request thread does the same for stop requests from outside (signals,
// console events): the first acts as the first end event, every later one as the second. Both
// touch the front-end only under g_csShutdown and only while g_bCommActive says the main thread
// has not left its file loop; lock order is g_csShutdown, then the front-end's.
#include "comm/csi_comm.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "server/cmn_pipe.h"
#include "server/process_state.h"

#include <cstring>
#include <mutex>

namespace {
const char kSource[] = "ServerMain";
constexpr unsigned char END_EVENT_FIRST = 0x8E;
constexpr unsigned char END_EVENT_SECOND = 0x8F;
constexpr uint32_t kBufferSize = 4096;
// Once the parent has closed its end every read fails at once; pause so the thread does not
// spin on a dead pipe while the main thread finishes.
constexpr uint32_t kFailedReadPauseMs = 100;
} // namespace

bool ActOnEndEvent(unsigned char event, const std::string& cause) {
    if (event != END_EVENT_FIRST && event != END_EVENT_SECOND)
        return false;
    std::lock_guard<std::mutex> guard(g_csShutdown);
    if (!cause.empty())
        LogMessage(kSource, cause, LOG_INFORMATION);
    if (event == END_EVENT_FIRST) {
        LogMessage(kSource, "1st end-event received.", LOG_INFORMATION);
        g_bRunning.store(false);
        if (!g_pCommInterface || !g_bCommActive.load())
            return true;
        if (g_pCommInterface->IsCommunicationInProgress()) {
            LogMessage(kSource,
                       "1st end-event received. Communication is in progress. Waiting "
                       "for end of communication.",
                       LOG_INFORMATION);
            return false;
        }
        LogMessage(kSource, "No communication in progress. Stopping communication-task.",
                   LOG_INFORMATION);
        g_pCommInterface->CancelTask();
        return true;
    }
    LogMessage(kSource, "2nd end-event received. Cancelling communication.", LOG_INFORMATION);
    g_bRunning.store(false);
    if (g_pCommInterface && g_bCommActive.load())
        g_pCommInterface->CancelTask();
    return true;
}

unsigned EndEventThread() {
    if (!g_pCommInterface || !g_bCommActive.load())
        return 0;

    unsigned char buffer[kBufferSize];
    do {
        if (g_pPipe) {
            std::memset(buffer, 0xFF, kBufferSize - 1);
            uint32_t bytesRead = 0;
            if (!g_pPipe->Read(buffer, kBufferSize - 1, &bytesRead))
                platform::SleepMs(kFailedReadPauseMs);
            if (ActOnEndEvent(buffer[0], std::string()))
                return 0;
        }
    } while (g_bCommActive.load());
    return 0;
}

unsigned StopRequestThread(const std::function<bool(std::string*)>& wait) {
    unsigned requests = 0;
    std::string name;
    while (wait(&name)) {
        g_bStopRequested.store(true);
        ActOnEndEvent(++requests == 1 ? END_EVENT_FIRST : END_EVENT_SECOND,
                      "Received " + name + ".");
        // After the file loop the entry may be waiting for the end-event thread's read; the
        // parent need not write for the process to end. (The pipe outlives this thread.)
        if (!g_bCommActive.load() && g_pPipe != nullptr)
            g_pPipe->InterruptRead();
    }
    return 0;
}
