// Link attach/detach and SLIP framing between the datagram layer and the serial line or modem.
// Runs only on the CSI task's thread.
#pragma once
#include <cstdint>

namespace platform {
struct Wakeup;
}

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

// Waits at most timeoutMs for something to receive or for the wake-up (may be null): 1 when a
// frame is already complete in the kept bytes or the line has bytes, 2 when woken, 0 when the
// time passed. Without an attached line it only waits for the wake-up. While a frame is under
// way it first sleeps, watching the wake-up only, for as long as the rest of the frame needs;
// after a send on a direct line (Linux) it sleeps until the answer can be complete and then
// returns 1 without looking, since a read costs no more than the look would.
int link_wait(uint32_t timeoutMs, platform::Wakeup* wakeup);

// The time in microseconds that the rest of the frame begun in the kept bytes (from its opening
// END, which alone already opens a frame) needs on a line of the given rate (8N1): judged by the
// IPv4 total length once it has come, before that by expectedLength (the last packet's); 0 when
// no frame is under way in them.
uint64_t slip_frame_rest_us(const uint8_t* kept, int count, uint32_t bitsPerSecond,
                            int expectedLength);

// Raw bytes currently kept for an incomplete frame (for tests and diagnostics).
int slip_pending_count();
// The device's delay before its answers, as learnt so far (for tests and diagnostics).
uint64_t slip_answer_lag_us();
// Back to the state of a fresh process: no link, no modem, nothing pending (tests only).
void slip_reset_for_tests();
