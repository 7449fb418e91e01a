// An in-memory serial port for the fuzz targets and the memory-line unit tests: it replaces the
// platform serial service at link time, so the SLIP and datagram layers read scripted chunks
// instead of a tty. Never part of the product.
#pragma once
#include "platform/serial.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace memory_line {

// Chunks handed out one per read, in order; a read with nothing queued returns 0 bytes.
void Queue(const uint8_t* data, size_t size);
void Clear();
// Chunks not yet read.
size_t QueuedChunks();
// Everything written to the port since the last Clear.
const std::vector<uint8_t>& Written();
// Open ports right now; must be 0 whenever the link is detached.
int OpenPorts();
// While set, opening a port fails as a missing port does.
void RefuseOpen(bool refuse);
// What configuring a port answers from now on.
void ConfigureAnswers(platform::SerialSetup answer);
// The bit rate of the last configuration (0: the port keeps its rate).
uint32_t LastRate();

} // namespace memory_line
