// Link attach/detach and SLIP framing between the datagram layer and the serial line or modem.
// Runs only on the CSI task's thread.
#pragma once
#include <cstdint>

// Attaches the configured link (direct line or modem); the attached line index, or -1.
int link_open();
// Detaches the link (closes the line or hangs up and frees the modem interface).
void link_close(int line);

// Frames one packet and hands it to the line or the modem: 1 when handed over, 0 when not.
int slip_send(const uint8_t* packet, int length);
// One decoded packet into a buffer of at least 1006 bytes: its length, or 0 when none is
// complete yet.
int slip_receive(uint8_t* packet);
