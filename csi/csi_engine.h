// The CSI task engine: command queue intake, the 250 ms loop, the session timer, the link, the
// message senders, the server session states and the file transfer, as one object whose
// member functions are spread over csi_engine.cpp (loop, commands, timer, link, senders),
// server_session.cpp (states 0, 100, 200) and file_transfer.cpp (state 300, buffers).
// One engine runs per process and all of it runs on the engine thread only; the queue, the
// poster's status word and the call-active / file-stored flags are the only shared things.
// Time is counted in loop rounds, never by the clock, so tests drive it round by round.
// Two pacings: the classic round sleeps 250 ms and takes at most one datagram; the fast loop
// (chosen in the local profile) waits for line bytes, a posted command or the end of 250 ms of
// waiting, whichever comes first, so datagrams are handled as they arrive. Both count the same
// 250 ms ticks for the session timer and the idle watchdog, and send the same messages.
#pragma once
#include "csi/csi_message.h"
#include "csi/csi_task.h"
#include "csi/obj_file.h"
#include "link/udp.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Server session states and transfer substates.
enum CsiServerState : uint16_t {
    SERVER_IDLE = 0,
    SERVER_CONNECTED = 100,
    SERVER_LOGGED = 200,
    SERVER_TRANSFER = 300,
};

enum CsiTransferSubstate : uint16_t {
    TRANSFER_NONE = 0,
    TRANSFER_RECEIVING = 301,
    TRANSFER_COMPLETE = 302,
    TRANSFER_CONFIRM_PENDING = 303,
};

constexpr uint16_t CSI_ROLE_NONE = 0;
constexpr uint16_t CSI_ROLE_SERVER = 2;
constexpr uint32_t CSI_LOOP_MS = 250;
constexpr uint32_t CSI_MAX_FILE_SIZE = 350000;
constexpr uint32_t CSI_FILE_BUFFER_SLACK = 1024;
constexpr uint16_t CSI_DEFAULT_SESSION_CODE = 5821;

// The datagram service under the engine: the link attach and the UDP layer in production, an
// in-memory pipe in tests. Argument lists follow the link layer's calls.
class ICsiLink {
public:
    virtual ~ICsiLink() = default;
    virtual int LinkOpen() = 0;
    virtual void LinkClose(int line) = 0;
    virtual int InetSetup(uint32_t local, uint32_t peer, uint16_t port,
                          csi_sockaddr_in* address) = 0;
    virtual void UdpClose(int socket) = 0;
    virtual int RecvFrom(int socket, uint8_t* buffer, int capacity, csi_sockaddr_in* from,
                         int* fromLength) = 0;
    virtual int SendTo(int socket, const uint8_t* payload, int length, const csi_sockaddr_in* to,
                       int toLength) = 0;
};

// The engine's only use of time: blocking pauses (loop round, relink pause, connect pause).
class ICsiSleeper {
public:
    virtual ~ICsiSleeper() = default;
    virtual void Sleep(uint32_t milliseconds) = 0;
};

// The production link: link_open / link_close and the UDP layer.
class CsiUdpLink : public ICsiLink {
public:
    int LinkOpen() override;
    void LinkClose(int line) override;
    int InetSetup(uint32_t local, uint32_t peer, uint16_t port, csi_sockaddr_in* address) override;
    void UdpClose(int socket) override;
    int RecvFrom(int socket, uint8_t* buffer, int capacity, csi_sockaddr_in* from,
                 int* fromLength) override;
    int SendTo(int socket, const uint8_t* payload, int length, const csi_sockaddr_in* to,
               int toLength) override;
};

// Production time: platform sleep.
class CsiRealSleeper : public ICsiSleeper {
public:
    void Sleep(uint32_t milliseconds) override;
};

// What ended a wait of the fast loop.
enum class CsiWake {
    Timeout,  // the time asked for passed
    Readable, // the line has bytes (or a whole frame is already kept)
    Posted,   // a command was posted
};

// The fast loop's clock and wait. Only time spent inside Wait counts towards a tick.
class ICsiPacer {
public:
    virtual ~ICsiPacer() = default;
    // A monotonic clock in microseconds.
    virtual uint64_t NowUs() = 0;
    // Returns after at most maxMs, earlier when the line has bytes or a command is posted.
    virtual CsiWake Wait(uint32_t maxMs) = 0;
};

// Production pacing: waits on the attached line (or modem) and on the queue's wake-up.
class CsiLinePacer : public ICsiPacer {
public:
    explicit CsiLinePacer(CCSIQueue* queue) : m_queue(queue) {}
    uint64_t NowUs() override;
    CsiWake Wait(uint32_t maxMs) override;

private:
    CCSIQueue* m_queue; // the poster's; it outlives the engine thread
};

struct CsiSessionTimer {
    bool armed = false;
    bool expired = false;
    int32_t remaining = 0;
    uint16_t expiryCount = 0;
};

class CsiEngine {
public:
    CsiEngine(ICsiLink& link, ICsiSleeper& sleeper);
    CsiEngine(const CsiEngine&) = delete;
    CsiEngine& operator=(const CsiEngine&) = delete;

    // The thread body: Begin, rounds until the stop byte is set, End.
    void Run(CsiTaskContext* context);
    // Task start: takes the queue and station identifier from the shared block.
    void Begin(CsiSharedBlock* shared);
    // Switches to the fast loop paced by the given waiter; null returns to the classic round.
    // Set before Run; the pacer must outlive the engine's use of it.
    void UseFastLoop(ICsiPacer* pacer) { m_pacer = pacer; }
    bool FastLoop() const { return m_pacer != nullptr; }
    // Classic round only: on a quiet direct line, sleep through rounds that would find nothing,
    // waiting on the given waiter; each round still happens at its time. Set before Run.
    void UseQuietWait(ICsiPacer* pacer) { m_quietPacer = pacer; }
    // One loop round, ending with one 250 ms tick of the session timer. Classic: command intake,
    // one datagram, idle watchdog, the 250 ms sleep, the timer tick and the status report.
    // Fast: commands and datagrams as they come until 250 ms have been spent waiting, then the
    // idle watchdog, the timer tick and the status report.
    void RunRound();
    // Task end: closes the link and frees the file buffer and the object list.
    void End();

    // Read-only views for the communication task's diagnostics and for tests.
    uint16_t Role() const { return m_role; }
    uint16_t State() const { return m_state; }
    uint16_t Substate() const { return m_substate; }
    uint16_t SessionCode() const { return m_sessionCode; }
    bool LinkIsOpen() const { return m_linkOpen; }
    bool FileAccepted() const { return m_fileAccepted; }
    const CsiSessionTimer& Timer() const { return m_timer; }
    int32_t ResultStatus() const { return m_resultStatus; }
    int32_t LastStatus() const { return m_lastStatus; }
    bool HoldsFileBuffer() const { return m_fileBuffer != nullptr; }
    bool HoldsObjectList() const { return m_objectList != nullptr; }
    // The next round counts a tick that an earlier wait spent, without looking at anything.
    bool OwesTick() const { return m_bankedUs >= CSI_LOOP_MS * 1000ull; }

private:
    // Loop and commands (csi_engine.cpp).
    enum class Intake { None, Taken, Dropped };
    void RunClassicRound();
    // The classic round's sleep on a quiet direct line; false when the task is ending.
    bool SleepQuietly();
    // Counts a tick that an earlier wait has already spent; false when none is owed.
    bool PassBankedTick();
    void RunFastRound();
    Intake TakeCommand();
    void PerformCommand();
    void CommandStartServer();
    void CommandWaitForFile();
    void CommandConfirmFile();
    void PollDatagram(int* received);
    void WatchIdle(int received);
    // Ticks after the current one at whose end nothing but counting happens.
    uint64_t QuietTicks() const;
    void TickTimer();
    void ReportStatus();
    void DispatchMessage(bool timeout);
    bool CommandRunning(uint32_t code) const;
    int32_t FileResultStatus() const;

    // Session timer.
    void StartTimer(int32_t milliseconds);
    void RestartTimer();
    void StopTimer();

    bool OpenLink(int mode);
    void CloseLink();
    void ResetEngine();

    // Senders.
    int SendCsiMessage(uint16_t length);
    int SendStatus(uint16_t result, uint16_t reason, const char* text);
    int SendConnectAnswer(uint16_t deviceLevel);
    int SendFileStatus(bool accepted);
    void ApplyTextRule();

    // Server session (server_session.cpp).
    void HandleIdle(bool timeout);
    void HandleConnected(bool timeout);
    void HandleLogged(bool timeout);
    bool CheckSessionCode();
    void Login();
    void Relink();

    // File transfer (file_transfer.cpp).
    void AcceptFile();
    void HandleTransfer(bool timeout);
    void TakePiece(uint16_t type);
    void FinishFile();
    void HandleComplete(uint16_t type);
    void HandleConfirmPending(uint16_t type);
    bool ProvideFileBuffer(uint32_t size);
    void ReleaseFileBuffer();
    void ReplaceObjectList(ObjectList list);

    uint16_t ReceivedType() const { return CsiGet16(m_receiveArea, CSI_OFF_TYPE); }
    uint16_t ReceivedLength() const { return CsiGet16(m_receiveArea, CSI_OFF_LENGTH); }

    ICsiLink& m_link;
    ICsiSleeper& m_sleeper;
    ICsiPacer* m_pacer = nullptr;
    ICsiPacer* m_quietPacer = nullptr;
    bool m_mayRead = true;   // fast loop: the line may hold more than the last poll took
    uint64_t m_bankedUs = 0; // waited past the current tick, owed to the next ones
    const std::atomic<uint8_t>* m_stop = nullptr; // the task context's, while Run runs
    // Both live in the poster's shared block, which is freed only after this thread has ended.
    CCSIQueue* m_queue = nullptr;
    const uint16_t* m_stationId = nullptr;

    uint16_t m_role = 0;
    uint16_t m_state = 0;
    uint16_t m_substate = 0;
    uint16_t m_sessionCode = 0;
    uint16_t m_lastReceivedSequence = 0;
    uint16_t m_lastAcceptedSequence = 0;
    uint16_t m_transferId = 0;
    uint32_t m_currentCommand = 0;
    CsiCommandRecord m_current;
    int32_t m_resultStatus = 0;
    int32_t m_lastStatus = 0;
    CsiSessionTimer m_timer;
    uint32_t m_idleCount = 0;

    bool m_linkOpen = false;
    int m_line = -1;
    int m_socket = -1;
    csi_sockaddr_in m_peer{};
    int m_peerLength = sizeof(csi_sockaddr_in);

    std::unique_ptr<uint8_t[]> m_fileBuffer;
    uint32_t m_fileSize = 0;
    size_t m_cursor = 0; // bytes taken so far
    ObjectList m_objectList;
    bool m_fileAccepted = false;

    uint16_t m_connectWords[3] = {0, 0, 0};
    uint8_t m_loginData[CSI_LOGIN_DATA_SIZE] = {};
    bool m_firstTimeout = true;
    char m_interfaceName[24] = {};

    uint8_t m_buildArea[CSI_AREA_SIZE] = {};
    uint8_t m_receiveArea[CSI_AREA_SIZE] = {};
};
