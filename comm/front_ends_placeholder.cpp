// Placeholder front-ends that never start. Replaced by the real front-ends.
#include "comm/csi_modem_comm.h"
#include "comm/csi_serial_comm.h"

CCSISerialComm::CCSISerialComm(int32_t comPort, int32_t baudCode, const std::string& directory)
    : CCSIComm(directory), m_nComPort(comPort), m_nBaudCode(baudCode) {
    m_nLinkType = 1;
}
int32_t CCSISerialComm::StartServerMode() { return 1; }
CCSISerialComm::~CCSISerialComm() = default;

CCSIModemComm::CCSIModemComm(int32_t comPort, int32_t baudCode, const std::string& directory,
                             const std::string& initString, const std::string& hangupPrefix,
                             const std::string& hangupSuffix)
    : CCSIComm(directory), m_nComPort(comPort), m_nBaudCode(baudCode),
      m_strInitString(initString), m_strHangupPrefix(hangupPrefix),
      m_strHangupSuffix(hangupSuffix) {
    m_nLinkType = 2;
}
int32_t CCSIModemComm::StartServerMode() { return 1; }
CCSIModemComm::~CCSIModemComm() = default;
