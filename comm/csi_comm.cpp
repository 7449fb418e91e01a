// The communication task base: start and stop of the CSI task, cancel, and the file step of the
// main loop. HandleFileStatus blocks the main thread; CancelTask comes from the end-event thread
// and is serialised against StopTask by m_csLock so the stop event is never used after close.
#include "comm/csi_comm.h"

#include "comm/stop_event.h"
#include "csi/csi_config.h"
#include "logging/log.h"

namespace {
const char kSource[] = "CCSIComm";
} // namespace

CCSIComm::CCSIComm(const std::string& directory) : m_strDirectory(directory) {}

bool CCSIComm::StartTask() {
    m_hStopEvent = std::make_unique<CStopEvent>();
    m_pInterface = std::make_unique<CCSIInterface>(m_hStopEvent.get(), m_engineBody, m_sleep);
    m_bStarted = true;
    return m_pInterface->StartThread(m_nLinkType);
}

int32_t CCSIComm::StartConfiguredServer(const char* source) {
    // The engine only keeps the pointer to this member, which outlives the task (the destructor
    // stops it); reserve room so the buffer never moves under it.
    m_strDirectory.reserve(100);
    csi_set_destination(m_strDirectory.c_str());

    // Without its thread the task fails as a failed start command would.
    const int32_t status =
        StartTask() ? m_pInterface->StartServer(false) : int32_t{CSI_STATUS_FAILURE};
    m_nLastStatus = status;
    if (status == CSI_STATUS_CANCELLED) {
        StopTask();
        return 3;
    }
    if (status == CSI_STATUS_DONE)
        return 0;
    StopTask();
    LogFormat(source, LOG_INFORMATION, "CSI Server Mode failed with status %d",
              static_cast<int>(status));
    return 1;
}

void CCSIComm::StopTask() {
    std::lock_guard<std::mutex> guard(m_csLock);
    if (!m_bStarted)
        return;
    if (m_hStopEvent)
        m_hStopEvent->Set();
    if (m_pInterface) {
        m_pInterface->StopThread();
        m_pInterface.reset();
    }
    m_hStopEvent.reset();
    m_bStarted = false;
}

void CCSIComm::CancelTask() {
    std::lock_guard<std::mutex> guard(m_csLock);
    if (m_bStarted && m_hStopEvent) {
        m_hStopEvent->Set();
        if (m_pInterface)
            m_pInterface->WakePoster(); // a fast poster would otherwise notice it only later
    }
}

bool CCSIComm::IsCommunicationInProgress() {
    return csi_get_call_active();
}

int32_t CCSIComm::HandleFileStatus() {
    if (!m_pInterface)
        return 1;
    const int32_t status = m_pInterface->WaitForFile();
    m_nLastStatus = status;

    if (status == CSI_STATUS_DONE || status == CSI_STATUS_FILE_CONFIRM) {
        if (csi_get_file_stored()) {
            LogMessage(kSource, "File successfully stored.", LOG_INFORMATION);
            if (m_pInterface->ConfirmFile(true) != CSI_STATUS_DONE)
                return 1;
            LogMessage(kSource, "File successfully acknowledged.", LOG_INFORMATION);
            return 0;
        }
        LogMessage(kSource, "Error storing file.", LOG_ERROR);
        if (m_pInterface->ConfirmFile(false) != CSI_STATUS_DONE)
            return 1;
        LogMessage(kSource, "File rejected.", LOG_INFORMATION);
        return 4;
    }
    if (status == CSI_STATUS_CANCELLED || status == CSI_STATUS_NO_CALL) {
        LogMessage(kSource, "Received abort.", LOG_INFORMATION);
        return 3;
    }
    LogMessage(kSource, "Invalid file-status.", LOG_ERROR);
    if (m_pInterface->ConfirmFile(false) != CSI_STATUS_DONE)
        return 1;
    LogMessage(kSource, "File rejected.", LOG_INFORMATION);
    return 4;
}

CCSIComm::~CCSIComm() {
    if (m_bStarted)
        CCSIComm::StopTask(); // no dynamic binding in a destructor anyway
    // The interface watches the stop event, so it goes first (the members alone would end the
    // event first).
    if (m_pInterface) {
        m_pInterface->StopThread();
        m_pInterface.reset();
    }
    m_hStopEvent.reset();
}
