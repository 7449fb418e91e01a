// Front-end for a recording device wired directly to the COM port.
#pragma once
#include "comm/csi_comm.h"

class CCSISerialComm : public CCSIComm {
public:
    CCSISerialComm(int32_t comPort, int32_t baudCode, const std::string& directory);
    int32_t StartServerMode() override;
    ~CCSISerialComm() override;

private:
    int32_t m_nComPort;
    int32_t m_nBaudCode;
};
