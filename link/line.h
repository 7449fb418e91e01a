// The line layer between SLIP and the COM line table: one control record per line index,
// opened with an option text ("e" binary pass-through without handshake, "r" read, "w" write).
// In binary pass-through every read and write goes unchanged to the line table.
// Called only from the CSI task's thread.
#pragma once
#include <cstdint>

// COM number 1..255 and baud code (bits per second / 100): the line index, or -1.
int line_open(int comNumber, int baudCode, int dataBits, int parity, int stopBits,
              const char* options);
// Status of the block read, or -1 for a bad index or a line not open for reading.
int line_read(int line, uint8_t* buffer, int count, uint32_t timeoutMs, int* bytesRead);
// Status of the block write, or -1 for a bad index.
int line_write(int line, const uint8_t* buffer, uint32_t timeoutMs, int length);
// 0, or -1 for a bad index.
int line_close(int line);

// The baud index of a baud code, or -1 when the code has none.
int line_baud_index(int baudCode);
