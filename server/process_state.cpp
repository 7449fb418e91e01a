// Storage of the process-wide state (see process_state.h).
#include "server/process_state.h"

CCSIComm* g_pCommInterface = nullptr;
CCmnPipe* g_pPipe = nullptr;
CSuspendedThread* g_pIpcThread = nullptr;
std::atomic<bool> g_bRunning{true};
std::atomic<bool> g_bCommActive{true};
std::mutex g_csShutdown;
bool g_bUseModem = false;
std::atomic<bool> g_bStopRequested{false};
