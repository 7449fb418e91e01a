// CCSIComm: the abstract communication front-end that the process entry and the end-event
// thread drive. (Interface only here; the task thread, posting and file handling live in the
// implementation.)
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

class CCSIInterface;
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

protected:
    void StartTask();

    std::string m_strDirectory;
    std::mutex m_csLock;
    CCSIInterface* m_pInterface = nullptr;
    CStopEvent* m_hStopEvent = nullptr;
    bool m_bStarted = false;
    uint32_t m_nLinkType = 0;
    int32_t m_nLastStatus = 0;
};
