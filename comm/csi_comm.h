// CCSIComm: the abstract communication front-end that the process entry and the end-event
// thread drive. It owns the CSI task thread through a CCSIInterface, confirms or rejects each
// received file and logs the outcome. Results go to the log only, never to the parent.
#pragma once
#include "comm/csi_interface.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CStopEvent;

class CCSIComm {
public:
    explicit CCSIComm(const std::string& directory);
    virtual void StopTask();
    virtual void CancelTask();
    virtual int32_t StartServerMode() = 0;
    virtual int32_t HandleFileStatus();
    virtual bool IsCommunicationInProgress();
    virtual ~CCSIComm();

    CCSIComm(const CCSIComm&) = delete;
    CCSIComm& operator=(const CCSIComm&) = delete;

    // Test seam: the engine body and the poster's sleep used by the next StartTask.
    void SetEngineForTests(CsiEngineBody body, CsiSleep sleep) {
        m_engineBody = std::move(body);
        m_sleep = std::move(sleep);
    }

protected:
    // False when the CSI task thread cannot be created.
    bool StartTask();
    // The common tail of both front-ends' StartServerMode once the engine is configured: hands
    // over the destination, starts the task and posts the start command. 0 started, 3
    // cancelled while starting, 1 failed (logged under the front-end's source name).
    int32_t StartConfiguredServer(const char* source);

    std::string m_strDirectory;
    std::mutex m_csLock;
    std::unique_ptr<CCSIInterface> m_pInterface;
    std::unique_ptr<CStopEvent> m_hStopEvent;
    bool m_bStarted = false;
    uint32_t m_nLinkType = 0;
    int32_t m_nLastStatus = 0;

private:
    CsiEngineBody m_engineBody;
    CsiSleep m_sleep;
};
