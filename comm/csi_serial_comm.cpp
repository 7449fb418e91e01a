// Front-end for a device wired straight to the COM port: configures the engine for the direct
// line and starts server mode. The engine keeps the directory pointer, so this object keeps the
// string unchanged for as long as the task runs.
#include "comm/csi_serial_comm.h"

#include "csi/csi_config.h"

CCSISerialComm::CCSISerialComm(int32_t comPort, int32_t baudCode, const std::string& directory)
    : CCSIComm(directory), m_nComPort(comPort), m_nBaudCode(baudCode) {
    m_nLinkType = 1;
}

int32_t CCSISerialComm::StartServerMode() {
    csi_set_baud_rate(static_cast<uint32_t>(m_nBaudCode));
    csi_set_com_port(static_cast<uint32_t>(m_nComPort));
    return StartConfiguredServer("CCSISerialComm");
}

CCSISerialComm::~CCSISerialComm() = default;
