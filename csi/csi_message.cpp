// Receipt rule and MSG_STATUS assembly shared by the engine's senders and the tests' device.
#include "csi/csi_message.h"

#include <cstring>

bool CsiIsAcceptableDatagram(const uint8_t* area, int n) {
    if (n <= 2)
        return false; // nothing, or a fragment too short to carry a length word
    const uint16_t length = CsiGet16(area, CSI_OFF_LENGTH);
    if (length != static_cast<uint16_t>(n))
        return false;
    return length >= CSI_HEADER_SIZE;
}

size_t CsiBuildStatus(uint8_t* area, uint16_t sessionCode, uint16_t sequence, uint16_t result,
                      uint16_t reason, const char* text) {
    size_t length = CSI_LEN_STATUS;
    const size_t textLength = text ? std::strlen(text) : 0;
    if (text) {
        length += textLength + 1;
        if (length > CSI_AREA_SIZE)
            return 0;
    }
    std::memset(area, 0, length);
    CsiPut16(area, CSI_OFF_LENGTH, static_cast<uint16_t>(length));
    CsiPut16(area, CSI_OFF_SESSION, sessionCode);
    CsiPut16(area, CSI_OFF_SEQUENCE, sequence);
    CsiPut16(area, CSI_OFF_TYPE, MSG_STATUS);
    CsiPut16(area, CSI_OFF_STATUS_RESULT, result);
    CsiPut16(area, CSI_OFF_STATUS_REASON, reason);
    if (text)
        std::memcpy(area + CSI_OFF_STATUS_TEXT, text, textLength + 1);
    return length;
}
