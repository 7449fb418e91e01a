// Engine loop, commands 1 to 4, the session timer, the link and the message senders.
// Runs only on the engine thread. It never logs: the state handlers and the storage do.
#include "csi/csi_engine.h"

#include "csi/csi_config.h"
#include "csi/obj_file.h"
#include "link/slip.h"
#include "platform/clock.h"
#include "tools/unique_nothrow.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint32_t kIdleRoundsBeforeWatchdog = 41;
constexpr size_t kInterfaceNameSize = 24;
constexpr uint64_t kTickWaitUs = CSI_LOOP_MS * 1000ull;
// A quiet line is still looked at now and then, whatever the timers say.
constexpr uint32_t kMostQuietTicks = 240;
} // namespace

int CsiUdpLink::LinkOpen() {
    return link_open();
}
void CsiUdpLink::LinkClose(int line) {
    link_close(line);
}
int CsiUdpLink::InetSetup(uint32_t local, uint32_t peer, uint16_t port, csi_sockaddr_in* address) {
    return inet_setup(local, peer, port, address);
}
void CsiUdpLink::UdpClose(int socket) {
    udp_close(socket);
}
int CsiUdpLink::RecvFrom(int socket, uint8_t* buffer, int capacity, csi_sockaddr_in* from,
                         int* fromLength) {
    return udp_recvfrom(socket, buffer, capacity, 0, from, fromLength);
}
int CsiUdpLink::SendTo(int socket, const uint8_t* payload, int length, const csi_sockaddr_in* to,
                       int toLength) {
    return udp_sendto(socket, payload, length, 0, to, toLength);
}

void CsiRealSleeper::Sleep(uint32_t milliseconds) {
    platform::SleepMs(milliseconds);
}

uint64_t CsiLinePacer::NowUs() {
    return platform::MonotonicUs();
}

CsiWake CsiLinePacer::Wait(uint32_t maxMs) {
    switch (link_wait(maxMs, m_queue != nullptr ? m_queue->CommandWakeup() : nullptr)) {
    case 1:
        return CsiWake::Readable;
    case 2:
        return CsiWake::Posted;
    default:
        return CsiWake::Timeout;
    }
}

CsiEngine::CsiEngine(ICsiLink& link, ICsiSleeper& sleeper) : m_link(link), m_sleeper(sleeper) {}

void CsiEngine::Run(CsiTaskContext* context) {
    m_stop = &context->stop;
    Begin(context->shared);
    while (context->stop.load() == 0)
        RunRound();
    End();
}

void CsiEngine::Begin(CsiSharedBlock* shared) {
    m_queue = shared ? shared->queue : nullptr;
    m_stationId = shared ? shared->stationId : nullptr;
    ResetEngine();
    m_linkOpen = false;
    ReplaceObjectList(nullptr);
    m_firstTimeout = true;
    ReleaseFileBuffer();
    m_idleCount = 0;
    m_bankedUs = 0;
}

void CsiEngine::End() {
    CloseLink();
    ReleaseFileBuffer();
    ReplaceObjectList(nullptr);
}

void CsiEngine::RunRound() {
    if (m_pacer != nullptr)
        RunFastRound();
    else
        RunClassicRound();
}

void CsiEngine::RunClassicRound() {
    if (PassBankedTick())
        return;
    // A dropped record ends the round at once: no poll, no sleep, no tick.
    const Intake intake = TakeCommand();
    if (intake == Intake::Dropped)
        return;
    int received = 0;
    if (m_linkOpen)
        PollDatagram(&received);
    WatchIdle(received);
    // A modem line keeps its plain round: there the poll itself waits for the modem.
    if (m_quietPacer != nullptr && intake == Intake::None && received < 1 &&
        !csi_get_modem_mode()) {
        if (!SleepQuietly())
            return;
    } else {
        m_sleeper.Sleep(CSI_LOOP_MS);
    }
    TickTimer();
    ReportStatus();
}

bool CsiEngine::SleepQuietly() {
    // Instead of waking every round to find nothing, sleep until the round that would find
    // something: the one after bytes arrive or a command is posted, or the one at which a
    // timer or the watchdog acts. The rounds slept through are counted afterwards.
    const uint64_t limitTicks = QuietTicks() + 1;
    const uint64_t before = m_quietPacer->NowUs();
    const CsiWake why = m_quietPacer->Wait(static_cast<uint32_t>(limitTicks * kTickWaitUs / 1000));
    const uint64_t after = m_quietPacer->NowUs();
    if (why == CsiWake::Posted && m_stop != nullptr && m_stop->load() != 0)
        return false; // the task ends: no tick is due to anybody
    // What came is for the round after the tick in which it came: sleep out that tick. A wait
    // that ran over its limit has still spent only the ticks it was allowed.
    const uint64_t sleptUs = after > before ? after - before : 0;
    const uint64_t ticks =
        std::min(limitTicks, std::max<uint64_t>(1, (sleptUs + kTickWaitUs - 1) / kTickWaitUs));
    if (ticks * kTickWaitUs > sleptUs)
        m_sleeper.Sleep(static_cast<uint32_t>((ticks * kTickWaitUs - sleptUs + 999) / 1000));
    m_bankedUs = (ticks - 1) * kTickWaitUs;
    return true;
}

bool CsiEngine::PassBankedTick() {
    // A tick already spent in an earlier, longer wait: nothing came during it, and nothing
    // could happen in it but counting, so it passes now without looking at the line.
    if (m_bankedUs < kTickWaitUs)
        return false;
    m_bankedUs -= kTickWaitUs;
    WatchIdle(0);
    TickTimer();
    ReportStatus();
    return true;
}

void CsiEngine::RunFastRound() {
    if (PassBankedTick())
        return;
    // Only time spent waiting counts towards the tick: handling a message, the pauses inside
    // the handlers and the link attach do not, just as they do not in the classic round.
    uint64_t waitedUs = m_bankedUs;
    m_bankedUs = 0;
    bool heard = false;
    for (;;) {
        bool busy = TakeCommand() != Intake::None;
        ReportStatus();
        if (m_linkOpen && m_mayRead) {
            int received = 0;
            PollDatagram(&received);
            // Read again only when the wait says so: it looks at the frames still kept before
            // it looks at the line, so a second read now would only find nothing, at the price
            // of a system call per frame.
            m_mayRead = false;
            heard = heard || received >= 1;
            busy = busy || received >= 1;
            ReportStatus();
        }
        if (busy)
            continue;
        if (waitedUs >= kTickWaitUs)
            break;
        // Waiting on past the end of this tick saves waking for ticks that only count; the
        // wait ends no later than the tick at which a timer or the watchdog acts.
        const uint64_t leftUs = (QuietTicks() + 1) * kTickWaitUs - waitedUs;
        const uint32_t leftMs = static_cast<uint32_t>((leftUs + 999) / 1000);
        const uint64_t before = m_pacer->NowUs();
        const CsiWake why = m_pacer->Wait(leftMs);
        const uint64_t after = m_pacer->NowUs();
        waitedUs += after > before ? after - before : 0;
        if (why == CsiWake::Readable)
            m_mayRead = true;
        else if (why == CsiWake::Posted && m_stop != nullptr && m_stop->load() != 0)
            return; // the task ends: no tick is due to anybody
        else if (why == CsiWake::Timeout && after <= before)
            break; // a clock that does not move must not hold the loop for ever
        // What ended a wait at or after the tick's end belongs to a later tick.
        if (waitedUs >= kTickWaitUs)
            break;
    }
    if (waitedUs > kTickWaitUs)
        m_bankedUs = waitedUs - kTickWaitUs;
    WatchIdle(heard ? 1 : 0);
    TickTimer();
    ReportStatus();
}

CsiEngine::Intake CsiEngine::TakeCommand() {
    CsiCommandRecord record;
    if (!m_queue || m_queue->IsEmpty() || !m_queue->TakeHead(&record))
        return Intake::None;
    // A record nobody waits for, or one arriving while a command runs, is dropped; the running
    // command keeps its own poster.
    if (!record.statusWord)
        return Intake::Dropped;
    if (record.code == 1) {
        m_current = record;
        m_currentCommand = 1;
        m_current.statusWord->store(CSI_STATUS_RUNNING);
        ReleaseFileBuffer();
        CloseLink();
        ResetEngine();
        m_resultStatus = CSI_STATUS_DONE;
        return Intake::Taken;
    }
    if (m_resultStatus == CSI_STATUS_RUNNING)
        return Intake::Dropped;
    m_current = record;
    m_currentCommand = record.code;
    m_resultStatus = CSI_STATUS_RUNNING;
    m_current.statusWord->store(CSI_STATUS_RUNNING);
    PerformCommand();
    return Intake::Taken;
}

void CsiEngine::PerformCommand() {
    switch (m_currentCommand) {
    case 2:
        CommandStartServer();
        break;
    case 3:
        CommandWaitForFile();
        break;
    case 4:
        CommandConfirmFile();
        break;
    default:
        m_resultStatus = CSI_STATUS_FAILURE;
        break;
    }
}

void CsiEngine::CommandStartServer() {
    if (m_state != SERVER_IDLE || m_substate != TRANSFER_NONE) {
        m_resultStatus = CSI_STATUS_NOT_ALLOWED;
        return;
    }
    const char* name = m_current.interfaceName;
    if (!name || std::strlen(name) >= kInterfaceNameSize) {
        m_resultStatus = CSI_STATUS_FAILURE;
        return;
    }
    std::memcpy(m_interfaceName, name, std::strlen(name) + 1);
    if (!OpenLink(CSI_ROLE_SERVER)) {
        m_resultStatus = CSI_STATUS_FAILURE;
        return;
    }
    m_role = CSI_ROLE_SERVER;
    m_firstTimeout = m_current.flag == 0;
    StartTimer(60000);
    m_sessionCode = 0;
    m_resultStatus = CSI_STATUS_DONE;
}

void CsiEngine::CommandWaitForFile() {
    if (m_role != CSI_ROLE_SERVER) {
        m_resultStatus = CSI_STATUS_NOT_ALLOWED;
        return;
    }
    // A file that completed before anybody asked is reported at once.
    if (m_fileAccepted && m_state == SERVER_TRANSFER && m_substate == TRANSFER_COMPLETE)
        m_resultStatus = FileResultStatus();
}

void CsiEngine::CommandConfirmFile() {
    if (m_role != CSI_ROLE_SERVER || m_state != SERVER_TRANSFER ||
        m_substate != TRANSFER_COMPLETE) {
        m_resultStatus = CSI_STATUS_NOT_ALLOWED;
        return;
    }
    ReplaceObjectList(nullptr);
    ReleaseFileBuffer();
    m_fileAccepted = m_fileAccepted && m_current.flag != 0;
    // The device may have asked already; its query is still in the receive area.
    if (ReceivedType() == MSG_FILE_STATUS_QUERY && SendFileStatus(m_fileAccepted) == 0) {
        m_state = SERVER_LOGGED;
        m_substate = TRANSFER_NONE;
        m_resultStatus = CSI_STATUS_DONE;
        StartTimer(60000);
        return;
    }
    m_substate = TRANSFER_CONFIRM_PENDING;
    StartTimer(60000);
}

bool CsiEngine::CommandRunning(uint32_t code) const {
    return m_currentCommand == code && m_resultStatus == CSI_STATUS_RUNNING;
}

int32_t CsiEngine::FileResultStatus() const {
    const bool expectsConfirmation =
        m_connectWords[0] == 7 && (m_connectWords[1] == 70 || m_connectWords[1] == 71);
    return expectsConfirmation ? CSI_STATUS_FILE_CONFIRM : CSI_STATUS_DONE;
}

void CsiEngine::PollDatagram(int* received) {
    // The peer record doubles as the sender record: whoever sent last is answered.
    m_peerLength = sizeof(csi_sockaddr_in);
    const int n = m_link.RecvFrom(m_socket, m_receiveArea, static_cast<int>(CSI_AREA_SIZE), &m_peer,
                                  &m_peerLength);
    *received = n;
    if (n >= 1)
        m_idleCount = 0;
    if (!CsiIsAcceptableDatagram(m_receiveArea, n))
        return;
    // Bytes past the message are cleared so that a short message reads zeros, not the tail of
    // an earlier one.
    std::memset(m_receiveArea + n, 0, CSI_AREA_SIZE - static_cast<size_t>(n));
    DispatchMessage(false);
}

void CsiEngine::WatchIdle(int received) {
    if (received > 0 || m_resultStatus != CSI_STATUS_RUNNING)
        return;
    const uint32_t before = m_idleCount++;
    if (before < kIdleRoundsBeforeWatchdog)
        return;
    if (csi_get_modem_mode())
        m_timer.remaining = 1; // a silent modem line ends the session at the coming tick
    else
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
    m_idleCount = 0;
}

uint64_t CsiEngine::QuietTicks() const {
    uint64_t quiet = kMostQuietTicks;
    if (m_resultStatus == CSI_STATUS_RUNNING)
        quiet =
            m_idleCount < kIdleRoundsBeforeWatchdog ? kIdleRoundsBeforeWatchdog - m_idleCount : 0;
    if (m_timer.armed && m_timer.remaining > 0) {
        const uint64_t untilExpiry =
            (static_cast<uint64_t>(m_timer.remaining) + CSI_LOOP_MS - 1) / CSI_LOOP_MS;
        quiet = std::min(quiet, untilExpiry - 1);
    }
    return std::min<uint64_t>(quiet, kMostQuietTicks);
}

void CsiEngine::TickTimer() {
    if (!m_timer.armed || m_timer.remaining <= 0)
        return;
    m_timer.remaining -= static_cast<int32_t>(CSI_LOOP_MS);
    if (m_timer.remaining > 0) {
        m_timer.expired = false;
        return;
    }
    ++m_timer.expiryCount;
    m_timer.expired = true;
    csi_set_call_active(false);
    DispatchMessage(true);
}

void CsiEngine::ReportStatus() {
    if (m_resultStatus == CSI_STATUS_NONE || m_resultStatus == CSI_STATUS_RUNNING)
        return;
    if (m_current.statusWord) {
        m_current.statusWord->store(m_resultStatus);
        if (m_queue)
            m_queue->AnnounceStatus();
    }
    m_lastStatus = m_resultStatus;
    m_resultStatus = CSI_STATUS_NONE;
}

void CsiEngine::DispatchMessage(bool timeout) {
    if (m_role != CSI_ROLE_SERVER)
        return;
    if (!timeout)
        m_lastReceivedSequence = CsiGet16(m_receiveArea, CSI_OFF_SEQUENCE);
    switch (m_state) {
    case SERVER_IDLE:
        HandleIdle(timeout);
        break;
    case SERVER_CONNECTED:
        HandleConnected(timeout);
        break;
    case SERVER_LOGGED:
        HandleLogged(timeout);
        break;
    case SERVER_TRANSFER:
        HandleTransfer(timeout);
        break;
    default:
        break;
    }
}

void CsiEngine::StartTimer(int32_t milliseconds) {
    m_timer.expired = false;
    m_timer.expiryCount = 0;
    m_timer.remaining = milliseconds;
    m_timer.armed = true;
}

void CsiEngine::RestartTimer() {
    m_timer.expiryCount = 0;
    m_timer.expired = false;
    m_timer.remaining = 20000;
    m_timer.armed = true;
}

void CsiEngine::StopTimer() {
    m_timer = CsiSessionTimer{};
}

bool CsiEngine::OpenLink(int) {
    if (m_linkOpen)
        return true;
    const int line = m_link.LinkOpen();
    if (line < 0)
        return false;
    const int socket = m_link.InetSetup(CSI_ADDR_NOT_SET, CSI_ADDR_PEER, CSI_PORT, &m_peer);
    if (socket < 0) {
        m_link.UdpClose(socket);
        m_link.LinkClose(line);
        return false;
    }
    m_line = line;
    m_socket = socket;
    m_peerLength = sizeof(csi_sockaddr_in);
    m_linkOpen = true;
    m_mayRead = true;
    return true;
}

void CsiEngine::CloseLink() {
    if (!m_linkOpen)
        return;
    m_link.UdpClose(m_socket);
    m_link.LinkClose(m_line);
    m_linkOpen = false;
}

void CsiEngine::ResetEngine() {
    m_role = CSI_ROLE_NONE;
    m_state = SERVER_IDLE;
    m_substate = TRANSFER_NONE;
    m_sessionCode = 0;
    m_lastReceivedSequence = 0;
    StopTimer();
    m_fileAccepted = false;
    m_resultStatus = CSI_STATUS_NONE;
    m_lastStatus = CSI_STATUS_NONE;
    std::memset(m_receiveArea, 0, sizeof m_receiveArea);
    m_peerLength = sizeof(csi_sockaddr_in);
}

int CsiEngine::SendCsiMessage(uint16_t length) {
    CsiPut16(m_buildArea, CSI_OFF_SESSION, m_sessionCode);
    CsiPut16(m_buildArea, CSI_OFF_SEQUENCE, m_lastReceivedSequence);
    CsiPut16(m_buildArea, CSI_OFF_CHECK, 0);
    const int sent = m_link.SendTo(m_socket, m_buildArea, length, &m_peer, m_peerLength);
    return sent == length ? 0 : -1;
}

int CsiEngine::SendStatus(uint16_t result, uint16_t reason, const char* text) {
    const std::unique_ptr<uint8_t[]> block = MakeUniqueNoThrow<uint8_t[]>(CSI_AREA_SIZE);
    if (!block)
        return -34;
    const size_t length =
        CsiBuildStatus(block.get(), m_sessionCode, m_lastReceivedSequence, result, reason, text);
    int rc = -1;
    if (length > 0) {
        const int sent =
            m_link.SendTo(m_socket, block.get(), static_cast<int>(length), &m_peer, m_peerLength);
        rc = sent == static_cast<int>(length) ? 0 : -1;
    }
    return rc;
}

int CsiEngine::SendConnectAnswer(uint16_t deviceLevel) {
    std::memset(m_buildArea, 0, sizeof m_buildArea);
    CsiPut16(m_buildArea, CSI_OFF_LENGTH, CSI_LEN_CONNECT);
    CsiPut16(m_buildArea, CSI_OFF_TYPE, MSG_CONNECT);
    CsiPut16(m_buildArea, CSI_OFF_CONNECT_ID, 7);
    CsiPut16(m_buildArea, CSI_OFF_CONNECT_STATION, 6);
    CsiPut16(m_buildArea, CSI_OFF_CONNECT_LEVEL, deviceLevel < 5 ? deviceLevel : 5);
    return SendCsiMessage(CSI_LEN_CONNECT);
}

int CsiEngine::SendFileStatus(bool accepted) {
    std::memset(m_buildArea, 0, sizeof m_buildArea);
    CsiPut16(m_buildArea, CSI_OFF_LENGTH, CSI_LEN_FILE_STATUS);
    CsiPut16(m_buildArea, CSI_OFF_TYPE, MSG_FILE_STATUS);
    CsiPut16(m_buildArea, CSI_OFF_FILE_STATUS_FLAG, accepted ? 1 : 2);
    CsiPut16(m_buildArea, CSI_OFF_FILE_STATUS_ID, m_transferId);
    return SendCsiMessage(CSI_LEN_FILE_STATUS);
}

void CsiEngine::ApplyTextRule() {
    const uint16_t length = ReceivedLength();
    if (length >= 11 && length < 75)
        m_receiveArea[CSI_OFF_TEXT_END] = 0; // the display text ends at 63 characters at most
    // This system has no display: the text goes nowhere.
    if (m_timer.armed && !m_timer.expired)
        RestartTimer();
}
