// The end-event thread: reads single-byte end events from the control pipe and stops the
// process. It touches the front-end only under g_csShutdown and only while g_bCommActive says
// the main thread has not left its file loop; lock order is g_csShutdown, then the front-end's.
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

            if (buffer[0] == END_EVENT_FIRST) {
                std::lock_guard<std::mutex> guard(g_csShutdown);
                LogMessage(kSource, "1st end-event received.", LOG_INFORMATION);
                g_bRunning.store(false);
                if (!g_pCommInterface || !g_bCommActive.load())
                    return 0;
                if (g_pCommInterface->IsCommunicationInProgress()) {
                    LogMessage(kSource,
                               "1st end-event received. Communication is in progress. Waiting "
                               "for end of communication.",
                               LOG_INFORMATION);
                    continue;
                }
                LogMessage(kSource, "No communication in progress. Stopping communication-task.",
                           LOG_INFORMATION);
                g_pCommInterface->CancelTask();
                return 0;
            }
            if (buffer[0] == END_EVENT_SECOND) {
                std::lock_guard<std::mutex> guard(g_csShutdown);
                LogMessage(kSource, "2nd end-event received. Cancelling communication.",
                           LOG_INFORMATION);
                g_bRunning.store(false);
                if (g_pCommInterface && g_bCommActive.load())
                    g_pCommInterface->CancelTask();
                return 0;
            }
        }
    } while (g_bCommActive.load());
    return 0;
}
