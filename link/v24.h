// Block access to COM lines addressed by line index (COM number - 1): open with the direct-line
// settings, read what has arrived, write a block, close. Reports only through results, never
// logs. Called only from the CSI task's thread, so the line table has no lock.
#pragma once
#include <cstdint>

constexpr int V24_LINES = 255;

// Framing selectors; the system only ever passes these.
constexpr int V24_PARITY_NONE = 0;
constexpr int V24_DATA_BITS_8 = 1;
constexpr int V24_STOP_BITS_1 = 0;
constexpr int V24_HANDSHAKE_NONE = 0;

// 0 on success, -1 on failure (the line is then closed).
int32_t v24_open(int line, int parity, int dataBits, int stopBits, int baudIndex, int handshake);
// 0 when count bytes were read, -2 when the time-out passed first, -1 on a failed read or a
// null bytesRead. *bytesRead always gets what was placed in the buffer.
int32_t v24_read_block(int line, uint32_t timeoutMs, int count, uint8_t* buffer, int* bytesRead);
// 0 when the write call succeeded, -1 otherwise; the time-out has no effect.
int32_t v24_write_block(int line, uint32_t timeoutMs, const uint8_t* buffer, int length);
// 0 on success; -1 for a bad index, a closed line or a failed close.
int32_t v24_close(int line);

// The bit rate a baud index selects (9600 outside 0..11).
uint32_t v24_bits_per_second(int baudIndex);

// Test seam: the millisecond tick source of the read deadline; null restores the platform's.
void v24_set_tick_source(uint32_t (*tick)());
