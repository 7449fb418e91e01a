// Link attach/detach and SLIP framing between the datagram layer and the serial line or modem.
// Runs only on the CSI task's thread.
#pragma once
#include <cstdint>

// The longest encoded frame (both END bytes included) and decoded packet, and the most raw
// bytes kept between calls while a frame is incomplete.
constexpr int SLIP_MAX_FRAME = 1006;
constexpr int SLIP_MAX_PENDING = 2048;

// Attaches the configured link (direct line or modem); the attached line index, or -1.
int link_open();
// Detaches the link (closes the line or hangs up and frees the modem interface).
void link_close(int line);

// Frames one packet and hands it to the line or the modem: 1 when handed over, 0 when not.
int slip_send(const uint8_t* packet, int length);
// One decoded packet into a buffer of at least 1006 bytes: its length, or 0 when none is
// complete yet.
int slip_receive(uint8_t* packet);

// Direct line: opens COM comNumber at baudCode (bits per second / 100); line index or -1.
int slip_attach(int comNumber, int baudCode);
// Modem: creates and initialises the modem interface on COM comNumber; line index or -1.
int slip_attach_modem(int comNumber, int baudCode, const char* initString, const char* hangupPrefix,
                      const char* hangupSuffix);

// Raw bytes currently kept for an incomplete frame (for tests and diagnostics).
int slip_pending_count();
// Back to the state of a fresh process: no link, no modem, nothing pending (tests only).
void slip_reset_for_tests();
