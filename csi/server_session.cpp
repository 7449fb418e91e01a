// Server session states 0, 100 and 200: connect, login with the session code, logout,
// disconnect, refused requests, and the walk back down when the device falls silent.
// Runs only on the engine thread, called from DispatchMessage.
#include "csi/csi_config.h"
#include "csi/csi_engine.h"
#include "logging/log.h"

#include <cstring>

namespace {
const char* const kSource = "server";
} // namespace

void CsiEngine::HandleIdle(bool timeout) {
    if (timeout) {
        // Only the very first idle time-out of a wait for a file reports "no call", if asked.
        if (m_currentCommand == 3 && m_resultStatus == CSI_STATUS_RUNNING && m_firstTimeout) {
            m_firstTimeout = false;
            m_resultStatus = CSI_STATUS_NO_CALL;
        }
        // A relink that failed would leave the server deaf until the next start command.
        if (!m_linkOpen)
            OpenLink(CSI_ROLE_SERVER);
        StartTimer(60000);
        return;
    }
    if (ReceivedType() != MSG_CONNECT) {
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
        return; // the idle timer keeps running from where it was
    }
    for (int i = 0; i < 3; ++i)
        m_connectWords[i] = CsiGet16(m_receiveArea, CSI_OFF_CONNECT_ID + 2 * i);
    csi_set_call_active(true);
    if (SendConnectAnswer(m_connectWords[2]) != 0)
        return;
    m_sleeper.Sleep(5000); // the device needs this pause before it sends its login
    m_state = SERVER_CONNECTED;
    StartTimer(30000);
}

void CsiEngine::HandleConnected(bool timeout) {
    StopTimer();
    if (timeout) {
        LogMessage(kSource, "SERVER_CONNECTED: Timed out waiting for message.", LOG_ERROR);
        Relink();
        m_state = SERVER_IDLE;
        StartTimer(1000);
        return;
    }
    switch (ReceivedType()) {
    case MSG_CONNECT:
        // Answered with the level agreed so far; the new words count only once answered.
        if (SendConnectAnswer(m_connectWords[2]) == 0) {
            for (int i = 0; i < 3; ++i)
                m_connectWords[i] = CsiGet16(m_receiveArea, CSI_OFF_CONNECT_ID + 2 * i);
            StartTimer(30000);
        }
        break;
    case MSG_DISCONNECT:
        LogMessage(kSource, "Client disconnected.", LOG_INFORMATION);
        csi_set_call_active(false);
        Relink();
        m_state = SERVER_IDLE;
        StartTimer(2000);
        break;
    case MSG_LOGIN:
        Login();
        m_state = SERVER_LOGGED;
        StartTimer(60000);
        break;
    default:
        StartTimer(30000);
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
        break;
    }
}

void CsiEngine::HandleLogged(bool timeout) {
    StopTimer();
    if (timeout) {
        LogMessage(kSource, "SERVER_LOGGED: Timed out while waiting for message.", LOG_ERROR);
        m_state = SERVER_CONNECTED;
        StartTimer(1000);
        return;
    }
    switch (ReceivedType()) {
    case MSG_LOGIN:
        Login();
        StartTimer(60000);
        break;
    case MSG_LOGOUT:
        if (CheckSessionCode() && SendStatus(CSI_RESULT_POSITIVE, RC_OK, nullptr) == 0) {
            LogMessage(kSource, "Client logged out.", LOG_INFORMATION);
            m_state = SERVER_CONNECTED;
            StartTimer(30000);
        } else {
            StartTimer(60000);
        }
        break;
    case MSG_FILE:
        if (CheckSessionCode())
            AcceptFile();
        else
            StartTimer(60000);
        break;
    case MSG_REQUEST:
        if (CheckSessionCode())
            SendStatus(CSI_RESULT_NEGATIVE, RC_NOREQUEST, CSI_TEXT_NOREQUEST);
        StartTimer(60000);
        break;
    case MSG_TEXT:
        ApplyTextRule();
        StartTimer(60000);
        break;
    case MSG_FILE_STATUS_QUERY:
        // Answered whatever session code it carries: the device only learns the last outcome.
        SendFileStatus(m_fileAccepted);
        StartTimer(60000);
        break;
    default:
        StartTimer(60000);
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
        break;
    }
}

bool CsiEngine::CheckSessionCode() {
    if (CsiGet16(m_receiveArea, CSI_OFF_SESSION) == m_sessionCode)
        return true;
    // The refusal must not reveal the code the device should have sent.
    const uint16_t current = m_sessionCode;
    m_sessionCode = 0;
    SendStatus(CSI_RESULT_NEGATIVE, RC_BADAUTH, CSI_TEXT_BADAUTH);
    m_sessionCode = current;
    return false;
}

void CsiEngine::Login() {
    LogMessage(kSource, "Client logged in.", LOG_INFORMATION);
    std::memcpy(m_loginData, m_receiveArea + CSI_OFF_LOGIN_DATA, CSI_LOGIN_DATA_SIZE);
    uint8_t station[2] = {0, 0};
    if (m_stationId)
        std::memcpy(station, m_stationId, sizeof station);
    uint16_t code = static_cast<uint16_t>(station[0] * 1000 + station[1]);
    if (code == 0)
        code = CSI_DEFAULT_SESSION_CODE;
    m_sessionCode = code;
    SendStatus(CSI_RESULT_POSITIVE, RC_OK, nullptr);
}

void CsiEngine::Relink() {
    CloseLink();
    m_sleeper.Sleep(500); // lets the line settle before it is attached again
    OpenLink(CSI_ROLE_SERVER);
}
