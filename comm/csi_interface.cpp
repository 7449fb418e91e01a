// The poster side of the command queue and the life of the CSI task thread.
// Must never hold a lock while it sleeps or waits for the engine: the end-event thread signals
// the stop event from outside and expects the next poll to see it.
#include "comm/csi_interface.h"

#include "comm/stop_event.h"
#include "csi/csi_config.h"
#include "platform/clock.h"

#include <chrono>
#include <system_error>

namespace {
constexpr uint32_t kPollMs = 250;
// Woken by every status and every cancel, the fast poster looks on its own only now and then:
// an idle process should not wake for nothing.
constexpr uint32_t kWakeOnStatusLimitMs = 10000;
const char kInterfaceName[] = "INT";
} // namespace

CCSIInterface::CCSIInterface(CStopEvent* stopEvent, CsiEngineBody body, CsiSleep sleep)
    : m_hStopEvent(stopEvent), m_body(std::move(body)), m_sleep(std::move(sleep)) {
    if (!m_body)
        m_body = TaskMain;
    if (!m_sleep)
        m_sleep = platform::SleepMs;
}

CCSIInterface::~CCSIInterface() {
    StopThread();
}

unsigned CsiTaskThreadProc(CCSIInterface* pInterface) {
    pInterface->m_body(&pInterface->m_context);
    return 0;
}

bool CCSIInterface::StartThread(uint32_t linkKind) {
    csi_set_link_kind(linkKind);
    m_pQueue = std::make_unique<CCSIQueue>();
    m_pShared = std::make_unique<CsiSharedBlock>();
    m_pStationId = std::make_unique<uint16_t>(0);
    m_pCell = std::make_unique<uint8_t>(0);
    m_pShared->stationId = m_pStationId.get();
    m_pShared->cell = m_pCell.get();
    m_pShared->queue = m_pQueue.get();
    m_context.shared = m_pShared.get();
    m_context.stop.store(0);
    m_bWakeOnStatus = CsiFastLoopConfigured();
    try {
        m_pThread = std::make_unique<std::thread>([this] { CsiTaskThreadProc(this); });
    } catch (const std::system_error&) {
        // Out of threads or memory: no engine runs, so nothing may be posted to it.
        ReleaseShared();
        return false;
    }
    m_bThreadRunning = true;
    return true;
}

void CCSIInterface::StopThread() {
    if (!m_bThreadRunning)
        return;
    m_context.stop.store(1);
    m_pQueue->WakeEngine(); // a quiet fast loop may be waiting through many ticks
    if (m_pThread->joinable())
        m_pThread->join();
    m_pThread.reset();
    ReleaseShared();
    m_bThreadRunning = false;
}

void CCSIInterface::ReleaseShared() {
    m_pQueue.reset(); // frees any records the engine never took
    m_pStationId.reset();
    m_pCell.reset();
    m_pShared.reset();
    m_context.shared = nullptr;
}

int32_t CCSIInterface::PostCommand(uint32_t code) {
    // The status word lives on this call's stack: the engine writes only into the word of its
    // current command, and a cancelled poster has handed it command 1 before returning.
    std::atomic<int32_t> status{CSI_STATUS_RUNNING};
    m_record.statusWord = &status;
    m_record.code = code;
    if (!m_pQueue)
        return CSI_STATUS_FAILURE;
    uint64_t seen = m_pQueue->StatusCount();
    m_posted = std::chrono::steady_clock::now();
    m_pQueue->Append(m_record);

    AwaitStatus(&seen);
    if (status.load() != CSI_STATUS_RUNNING)
        return status.load();
    for (;;) {
        if (m_hStopEvent && m_hStopEvent->IsSet())
            break;
        AwaitStatus(&seen);
        if (status.load() != CSI_STATUS_RUNNING)
            return status.load();
    }

    // Cancelled: the engine must drop the abandoned command before the word goes out of scope.
    m_hStopEvent->Reset();
    Reset();
    csi_set_call_active(false);
    return CSI_STATUS_CANCELLED;
}

void CCSIInterface::AwaitStatus(uint64_t* seen) {
    // A cancel that came before this command was posted has woken nobody: look after one
    // round then, as the classic poster does.
    const bool cancelled = m_hStopEvent != nullptr && m_hStopEvent->IsSet();
    if (m_bWakeOnStatus) {
        *seen = m_pQueue->WaitForStatus(*seen, cancelled ? kPollMs : kWakeOnStatusLimitMs);
        return;
    }
    // The classic poster looks every 250 ms from the posting on. A look can find something new
    // only after the engine announced a status or a cancel came: it sleeps until then and makes
    // the look at which it would have found it.
    if (!cancelled)
        *seen = m_pQueue->WaitForStatus(*seen, kWakeOnStatusLimitMs);
    const auto sincePost = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - m_posted)
                               .count();
    m_sleep(kPollMs - static_cast<uint32_t>(sincePost % kPollMs));
}

void CCSIInterface::WakePoster() {
    if (m_pQueue)
        m_pQueue->AnnounceStatus();
}

int32_t CCSIInterface::Reset() {
    m_record = CsiCommandRecord();
    return PostCommand(CSI_CMD_RESET);
}

int32_t CCSIInterface::StartServer(bool flag) {
    m_record = CsiCommandRecord();
    m_record.interfaceName = kInterfaceName;
    m_record.objectListOut = &m_nOutWord;
    m_record.flag = flag ? 0 : 1;
    return PostCommand(CSI_CMD_START_SERVER);
}

int32_t CCSIInterface::WaitForFile() {
    m_record = CsiCommandRecord();
    m_record.objectListOut = &m_nOutWord;
    return PostCommand(CSI_CMD_WAIT_FOR_FILE);
}

int32_t CCSIInterface::ConfirmFile(bool accepted) {
    m_record = CsiCommandRecord();
    m_record.flag = accepted ? 1 : 0;
    return PostCommand(CSI_CMD_CONFIRM_FILE);
}
