// File transfer in state 300: accepting an announced file, taking its pieces, checking and
// storing the complete file, and the confirmation towards the device (substates 301-303).
// Runs only on the engine thread. The received bytes are device input: every piece is bounded
// by the announced size before it is copied.
#include "csi/csi_engine.h"
#include "csi/file_storage.h"
#include "csi/obj_file.h"
#include "logging/log.h"
#include "tools/unique_nothrow.h"

#include <cstring>
#include <utility>

namespace {
const char* const kSource = "server";
} // namespace

void CsiEngine::AcceptFile() {
    m_fileAccepted = false;
    const uint32_t size = CsiGet32(m_receiveArea, CSI_OFF_FILE_SIZE);
    const uint8_t type = m_receiveArea[CSI_OFF_FILE_TYPE];
    if (size <= CSI_MAX_FILE_SIZE && type == 0 && ProvideFileBuffer(size)) {
        if (SendStatus(CSI_RESULT_POSITIVE, RC_OK, nullptr) != 0) {
            StartTimer(60000);
            ReleaseFileBuffer();
            return;
        }
        m_transferId = CsiGet16(m_receiveArea, CSI_OFF_FILE_TRANSFER_ID);
        m_lastAcceptedSequence = m_lastReceivedSequence;
        m_fileSize = size;
        m_cursor = 0;
        m_state = SERVER_TRANSFER;
        m_substate = TRANSFER_RECEIVING;
        StartTimer(60000);
        return;
    }
    // Devices expect this very text whatever the reason for the refusal.
    SendStatus(CSI_RESULT_NEGATIVE, RC_FILE, CSI_TEXT_FILE);
    StartTimer(60000);
}

void CsiEngine::HandleTransfer(bool timeout) {
    if (timeout) {
        LogMessage(kSource, "Timeout occurred while receiving file.", LOG_ERROR);
        ReleaseFileBuffer();
        if (m_substate == TRANSFER_CONFIRM_PENDING && CommandRunning(4))
            m_resultStatus = CSI_STATUS_DONE;
        m_state = SERVER_LOGGED;
        m_substate = TRANSFER_NONE;
        StartTimer(1000);
        return;
    }
    if (!CheckSessionCode()) {
        StartTimer(60000);
        return;
    }
    StopTimer();

    const uint16_t type = ReceivedType();
    if (type == MSG_LOGOUT) {
        if (m_substate == TRANSFER_CONFIRM_PENDING && CommandRunning(4))
            m_resultStatus = CSI_STATUS_DONE;
        if (SendStatus(CSI_RESULT_POSITIVE, RC_OK, nullptr) == 0) {
            LogMessage(kSource, "Client logged out.", LOG_INFORMATION);
            m_state = SERVER_CONNECTED;
            m_substate = TRANSFER_NONE;
            StartTimer(30000);
        } else {
            StartTimer(60000);
        }
        ReleaseFileBuffer();
        return;
    }

    switch (m_substate) {
    case TRANSFER_RECEIVING:
        if (type == MSG_TEXT) {
            ApplyTextRule();
            StartTimer(60000);
        } else if (type == MSG_DATA || type == MSG_DATA_LAST) {
            TakePiece(type);
        } else {
            StartTimer(60000);
            SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
        }
        break;
    case TRANSFER_COMPLETE:
        HandleComplete(type);
        break;
    case TRANSFER_CONFIRM_PENDING:
        HandleConfirmPending(type);
        break;
    default:
        RestartTimer();
        break;
    }
}

void CsiEngine::TakePiece(uint16_t type) {
    const size_t n = ReceivedLength() - CSI_HEADER_SIZE;
    if (m_cursor + n > m_fileSize) {
        SendStatus(CSI_RESULT_NEGATIVE, RC_FILE, nullptr);
        StartTimer(60000);
        return;
    }
    if (SendStatus(CSI_RESULT_POSITIVE, RC_OK, nullptr) != 0) {
        StartTimer(60000);
        return; // unacknowledged, so the device sends the piece again
    }
    const uint16_t sequence = CsiGet16(m_receiveArea, CSI_OFF_SEQUENCE);
    if (sequence == m_lastAcceptedSequence) {
        // Our acknowledgement was lost and the device repeated the piece.
        LogMessage(kSource, "Same sequence number as last packet. Ignoring data.", LOG_INFORMATION);
    } else if (m_fileBuffer) {
        m_lastAcceptedSequence = sequence;
        std::memcpy(m_fileBuffer.get() + m_cursor, m_receiveArea + CSI_HEADER_SIZE, n);
        m_cursor += n;
    }
    if (type == MSG_DATA) {
        StartTimer(60000);
        return;
    }
    FinishFile();
}

void CsiEngine::FinishFile() {
    ObjectList list;
    uint32_t count = 0;
    uintptr_t* listOut = m_current.objectListOut;
    const int rc = listOut ? ParseObjFile(&list, &count, m_fileBuffer.get(), m_cursor)
                           : static_cast<int>(OBJ_NULL_ARGUMENT);
    if (rc != OBJ_VALID) {
        LogMessage(kSource, "Error in received file.", LOG_ERROR);
        m_fileAccepted = false;
        m_substate = TRANSFER_CONFIRM_PENDING;
        StartTimer(60000);
        return;
    }
    // The poster's word only tells where the list is; the engine keeps it until the file is
    // confirmed, the next one comes or the task ends.
    *listOut = reinterpret_cast<uintptr_t>(list.get());
    StoreFile(m_fileBuffer.get(), m_cursor);
    ReplaceObjectList(std::move(list));
    if (CommandRunning(3))
        m_resultStatus = FileResultStatus();
    m_fileAccepted = true;
    m_substate = TRANSFER_COMPLETE; // no timer: command 4 decides what the device hears
}

void CsiEngine::HandleComplete(uint16_t type) {
    if (type == MSG_TEXT)
        ApplyTextRule();
    else if (type != MSG_FILE_STATUS_QUERY) // the query waits for command 4
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
}

void CsiEngine::HandleConfirmPending(uint16_t type) {
    switch (type) {
    case MSG_FILE:
        // The device moved on without asking: end what waits and take the new file.
        if (CommandRunning(3) || CommandRunning(4))
            m_resultStatus = CSI_STATUS_DONE;
        m_state = SERVER_LOGGED;
        m_substate = TRANSFER_NONE;
        HandleLogged(false);
        break;
    case MSG_TEXT:
        ApplyTextRule();
        StartTimer(60000);
        break;
    case MSG_FILE_STATUS_QUERY:
        if (SendFileStatus(m_fileAccepted) == 0) {
            m_state = SERVER_LOGGED;
            m_substate = TRANSFER_NONE;
            StartTimer(60000);
            if (CommandRunning(4))
                m_resultStatus = CSI_STATUS_DONE;
        } else {
            StartTimer(60000);
        }
        break;
    default:
        StartTimer(60000);
        SendStatus(CSI_RESULT_NEGATIVE, RC_NOMSG, nullptr);
        break;
    }
}

bool CsiEngine::ProvideFileBuffer(uint32_t size) {
    ReleaseFileBuffer();
    m_fileBuffer = MakeUniqueNoThrow<uint8_t[]>(size + CSI_FILE_BUFFER_SLACK);
    return m_fileBuffer != nullptr;
}

void CsiEngine::ReleaseFileBuffer() {
    m_fileBuffer.reset();
}

void CsiEngine::ReplaceObjectList(ObjectList list) {
    m_objectList = std::move(list);
}
