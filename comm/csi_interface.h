// CCSIInterface: owns the CSI task thread and posts commands into its queue, then polls the
// poster's status word every 250 ms until the engine has answered or the stop event asks to give
// up; with the engine's fast loop a written status wakes the poll at once. Runs on the poster's
// thread (the main thread); only the queue and the status word are shared with the engine
// thread, and nothing here ever touches engine state directly.
#pragma once
#include "csi/csi_queue.h"
#include "csi/csi_task.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class CStopEvent;

// The body of the CSI task thread (production: TaskMain) and the poster's 250 ms sleep.
// Tests replace both to drive the poster in virtual time against a scripted engine.
using CsiEngineBody = std::function<void(CsiTaskContext*)>;
using CsiSleep = std::function<void(uint32_t)>;

// Command codes the communication task posts.
enum CsiCommand : uint32_t {
    CSI_CMD_RESET = 1,
    CSI_CMD_START_SERVER = 2,
    CSI_CMD_WAIT_FOR_FILE = 3,
    CSI_CMD_CONFIRM_FILE = 4,
};

class CCSIInterface {
public:
    explicit CCSIInterface(CStopEvent* stopEvent, CsiEngineBody body = TaskMain,
                           CsiSleep sleep = nullptr);
    ~CCSIInterface();

    // False when the thread cannot be created; nothing is left running then.
    bool StartThread(uint32_t linkKind);
    void StopThread();

    // Posts the prepared record with the given code and returns the final status
    // (15 when the stop event cut the wait short).
    int32_t PostCommand(uint32_t code);
    int32_t Reset();
    int32_t StartServer(bool flag);
    int32_t WaitForFile();
    int32_t ConfirmFile(bool accepted);

    // Ends the poster's current wait for a status, so that it looks at the stop event at once.
    void WakePoster();

    bool IsThreadRunning() const { return m_bThreadRunning; }
    bool WakesOnStatus() const { return m_bWakeOnStatus; }
    CsiTaskContext* TaskContext() { return &m_context; }

    CCSIInterface(const CCSIInterface&) = delete;
    CCSIInterface& operator=(const CCSIInterface&) = delete;

private:
    friend unsigned CsiTaskThreadProc(CCSIInterface* pInterface);
    // One pause between looks at the status word; *seen counts the statuses announced so far.
    void AwaitStatus(uint64_t* seen);
    // Frees the queue and the block shared with the engine thread.
    void ReleaseShared();

    bool m_bThreadRunning = false;
    std::unique_ptr<CCSIQueue> m_pQueue;
    CsiTaskContext m_context;
    // The block the engine thread reads, and the two cells it points to besides the queue; all
    // exist from StartThread until StopThread has joined the thread.
    std::unique_ptr<CsiSharedBlock> m_pShared;
    std::unique_ptr<uint16_t> m_pStationId;
    std::unique_ptr<uint8_t> m_pCell;
    CsiCommandRecord m_record;
    uintptr_t m_nOutWord = 0; // where the engine leaves a received file's object list
    CStopEvent* m_hStopEvent; // the owner's; it outlives this object
    std::unique_ptr<std::thread> m_pThread;
    CsiEngineBody m_body;
    CsiSleep m_sleep;
    // With the engine's fast loop the poster wakes when a status is written or the stop event
    // is set through the front-end instead of sleeping out every 250 ms; it still looks at the
    // stop event once a second.
    bool m_bWakeOnStatus = false;
    std::chrono::steady_clock::time_point m_posted; // the classic poster's looks count from it
};

// Thread procedure of the CSI task thread: runs the engine body on the interface's context.
unsigned CsiTaskThreadProc(CCSIInterface* pInterface);
