// Configuration of the CSI task: set by the front-ends before the task thread starts, read by
// the link attach, the engine and the storage. Strings are not copied: the setter keeps the
// caller's pointer, so the caller keeps the text alive while the task runs.
// "call active" and "file stored" cross threads and are atomic.
#pragma once
#include <cstdint>

void csi_set_com_port(uint32_t comPort); // COM number, 0 = not set
uint32_t csi_get_com_port();

void csi_set_baud_rate(uint32_t baudCode); // bits per second / 100, 0 = not set
uint32_t csi_get_baud_rate();

void csi_set_destination(const char* directory); // null = not set
const char* csi_get_destination();

void csi_set_modem_mode(int modem); // any non-zero value means true
bool csi_get_modem_mode();

// Modem strings: 1 initialisation, 2 hang-up prefix, 3 hang-up suffix; initially "".
void csi_set_modem_string(int which, const char* text);
const char* csi_get_modem_string(int which);

void csi_set_call_active(bool active);
bool csi_get_call_active();

void csi_set_file_stored(bool stored);
bool csi_get_file_stored();

void csi_set_link_kind(uint32_t kind); // 1 serial (initial), 2 modem
uint32_t csi_get_link_kind();

// Back to the initial values of a fresh process (tests only).
void csi_config_reset_for_tests();
