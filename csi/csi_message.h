// CSI message layout: the 10-byte little-endian header, the message types, the reason codes
// with their fixed texts, and the rule by which a received datagram counts as a message.
// Pure byte handling: nothing here sends, logs or keeps state.
#pragma once
#include <cstddef>
#include <cstdint>

enum CsiMessageType : uint16_t {
    MSG_CONNECT = 0,
    MSG_DISCONNECT = 1,
    MSG_LOGIN = 2,
    MSG_LOGOUT = 3,
    MSG_STATUS = 4,
    MSG_FILE = 5,
    MSG_FILE_STATUS = 6,
    MSG_REQUEST = 7,
    MSG_TEXT = 8,
    MSG_DATA = 10,
    MSG_DATA_LAST = 11,
    MSG_FILE_STATUS_QUERY = 12,
};

enum CsiReasonCode : uint16_t {
    RC_OK = 0,
    RC_NOMSG = 1,
    RC_BADAUTH = 4,
    RC_NOREQUEST = 6,
    RC_FILE = 8,
};

constexpr uint16_t CSI_RESULT_POSITIVE = 0;
constexpr uint16_t CSI_RESULT_NEGATIVE = 0xFFFF;

constexpr const char* CSI_TEXT_BADAUTH = "Bad authorization code!";
constexpr const char* CSI_TEXT_NOREQUEST = "This device does not accept requests!";
constexpr const char* CSI_TEXT_FILE = "100,000 bytes max";

// Header field offsets.
constexpr size_t CSI_OFF_LENGTH = 0;
constexpr size_t CSI_OFF_SESSION = 2;
constexpr size_t CSI_OFF_SEQUENCE = 4;
constexpr size_t CSI_OFF_TYPE = 6;
constexpr size_t CSI_OFF_CHECK = 8;
constexpr size_t CSI_HEADER_SIZE = 10;

// Body offsets used by the server.
constexpr size_t CSI_OFF_CONNECT_ID = 10;
constexpr size_t CSI_OFF_CONNECT_STATION = 12;
constexpr size_t CSI_OFF_CONNECT_LEVEL = 14;
constexpr size_t CSI_OFF_LOGIN_DATA = 10;
constexpr size_t CSI_LOGIN_DATA_SIZE = 22;
constexpr size_t CSI_OFF_STATUS_RESULT = 10;
constexpr size_t CSI_OFF_STATUS_REASON = 12;
constexpr size_t CSI_OFF_STATUS_TEXT = 14;
constexpr size_t CSI_OFF_FILE_TYPE = 10;
constexpr size_t CSI_OFF_FILE_TRANSFER_ID = 12;
constexpr size_t CSI_OFF_FILE_SIZE = 16;
constexpr size_t CSI_OFF_FILE_STATUS_FLAG = 10;
constexpr size_t CSI_OFF_FILE_STATUS_ID = 12;
constexpr size_t CSI_OFF_TEXT_END = 73; // last byte of the 64-byte display text

constexpr uint16_t CSI_LEN_CONNECT = 16;
constexpr uint16_t CSI_LEN_STATUS = 14;
constexpr uint16_t CSI_LEN_FILE_STATUS = 14;

// Every message area (build, status, receive) is this large; one message is in flight at once.
constexpr size_t CSI_AREA_SIZE = 512;

inline uint16_t CsiGet16(const uint8_t* p, size_t offset) {
    return static_cast<uint16_t>(p[offset] | (p[offset + 1] << 8));
}

inline uint32_t CsiGet32(const uint8_t* p, size_t offset) {
    return static_cast<uint32_t>(p[offset]) | (static_cast<uint32_t>(p[offset + 1]) << 8) |
           (static_cast<uint32_t>(p[offset + 2]) << 16) |
           (static_cast<uint32_t>(p[offset + 3]) << 24);
}

inline void CsiPut16(uint8_t* p, size_t offset, uint16_t value) {
    p[offset] = static_cast<uint8_t>(value & 0xFF);
    p[offset + 1] = static_cast<uint8_t>(value >> 8);
}

inline void CsiPut32(uint8_t* p, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// True when a datagram of n bytes (as the UDP layer reported it) is a message to dispatch:
// at least a header, and its own length field agrees with n. The check word is not looked at.
bool CsiIsAcceptableDatagram(const uint8_t* area, int n);

// Writes a complete MSG_STATUS into area (at least CSI_AREA_SIZE bytes) and returns its
// length: 14 without text, 14 + strlen(text) + 1 with it; 0 when the text does not fit.
size_t CsiBuildStatus(uint8_t* area, uint16_t sessionCode, uint16_t sequence, uint16_t result,
                      uint16_t reason, const char* text);
