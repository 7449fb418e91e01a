#include "csi/csi_config.h"

#include <atomic>

namespace {
struct CsiConfig {
    uint32_t comPort = 0;
    uint32_t baudCode = 0;
    const char* destination = nullptr; // the front-end's text, kept alive while the task runs
    bool modemMode = false;
    const char* modemStrings[3] = {"", "", ""}; // likewise
    std::atomic<bool> callActive{false};
    std::atomic<bool> fileStored{false};
    uint32_t linkKind = 1;
};
CsiConfig g_config;
} // namespace

void csi_set_com_port(uint32_t comPort) {
    g_config.comPort = comPort;
}
uint32_t csi_get_com_port() {
    return g_config.comPort;
}
void csi_set_baud_rate(uint32_t baudCode) {
    g_config.baudCode = baudCode;
}
uint32_t csi_get_baud_rate() {
    return g_config.baudCode;
}
void csi_set_destination(const char* directory) {
    g_config.destination = directory;
}
const char* csi_get_destination() {
    return g_config.destination;
}
void csi_set_modem_mode(int modem) {
    g_config.modemMode = modem != 0;
}
bool csi_get_modem_mode() {
    return g_config.modemMode;
}

void csi_set_modem_string(int which, const char* text) {
    if (which >= 1 && which <= 3)
        g_config.modemStrings[which - 1] = text ? text : "";
}

const char* csi_get_modem_string(int which) {
    return (which >= 1 && which <= 3) ? g_config.modemStrings[which - 1] : "";
}

void csi_set_call_active(bool active) {
    g_config.callActive.store(active);
}
bool csi_get_call_active() {
    return g_config.callActive.load();
}
void csi_set_file_stored(bool stored) {
    g_config.fileStored.store(stored);
}
bool csi_get_file_stored() {
    return g_config.fileStored.load();
}
void csi_set_link_kind(uint32_t kind) {
    g_config.linkKind = kind;
}
uint32_t csi_get_link_kind() {
    return g_config.linkKind;
}

void csi_config_reset_for_tests() {
    g_config.comPort = 0;
    g_config.baudCode = 0;
    g_config.destination = nullptr;
    g_config.modemMode = false;
    for (auto& s : g_config.modemStrings)
        s = "";
    g_config.callActive.store(false);
    g_config.fileStored.store(false);
    g_config.linkKind = 1;
}
