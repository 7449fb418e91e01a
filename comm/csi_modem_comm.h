// Front-end for devices that call in through a Hayes modem on the COM port.
#pragma once
#include "comm/csi_comm.h"

class CCSIModemComm : public CCSIComm {
public:
    CCSIModemComm(int32_t comPort, int32_t baudCode, const std::string& directory,
                  const std::string& initString, const std::string& hangupPrefix,
                  const std::string& hangupSuffix);
    int32_t StartServerMode() override;
    ~CCSIModemComm() override;

private:
    int32_t m_nComPort;
    int32_t m_nBaudCode;
    std::string m_strInitString;
    std::string m_strHangupPrefix;
    std::string m_strHangupSuffix;
};
