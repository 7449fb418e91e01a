// Front-end for devices that dial in through a Hayes modem: hands the engine the modem strings
// as well. The engine keeps the pointers, so these strings stay unchanged while the task runs.
#include "comm/csi_modem_comm.h"

#include "csi/csi_config.h"

CCSIModemComm::CCSIModemComm(int32_t comPort, int32_t baudCode, const std::string& directory,
                             const std::string& initString, const std::string& hangupPrefix,
                             const std::string& hangupSuffix)
    : CCSIComm(directory), m_nComPort(comPort), m_nBaudCode(baudCode), m_strInitString(initString),
      m_strHangupPrefix(hangupPrefix), m_strHangupSuffix(hangupSuffix) {
    m_nLinkType = 2;
}

int32_t CCSIModemComm::StartServerMode() {
    csi_set_modem_mode(1);
    for (std::string* s : {&m_strInitString, &m_strHangupPrefix, &m_strHangupSuffix})
        s->reserve(100);
    csi_set_modem_string(1, m_strInitString.c_str());
    csi_set_modem_string(2, m_strHangupPrefix.c_str());
    csi_set_modem_string(3, m_strHangupSuffix.c_str());
    csi_set_baud_rate(static_cast<uint32_t>(m_nBaudCode));
    csi_set_com_port(static_cast<uint32_t>(m_nComPort));
    return StartConfiguredServer("CCSIModemComm");
}

// The engine hangs up with the prefix and suffix while it closes the link, so the task must stop
// before these strings are released.
CCSIModemComm::~CCSIModemComm() {
    CCSIComm::StopTask();
}
