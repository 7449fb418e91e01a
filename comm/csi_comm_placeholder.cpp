// Placeholder front-end base: starts nothing. Replaced by the real communication task.
#include "comm/csi_comm.h"

CCSIComm::CCSIComm(const std::string& directory) : m_strDirectory(directory) {}
void CCSIComm::StopTask() {}
void CCSIComm::CancelTask() {}
int32_t CCSIComm::HandleFileStatus() { return 3; }
bool CCSIComm::IsCommunicationInProgress() { return false; }
CCSIComm::~CCSIComm() = default;
void CCSIComm::StartTask() {}
