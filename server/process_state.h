// Process-wide state shared by the entry's file loop and the end-event thread.
// g_bRunning and g_bCommActive are polled without a lock by the other thread, hence atomic;
// g_bCommActive changes only while g_csShutdown is held.
#pragma once
#include <atomic>
#include <mutex>

class CCSIComm;
class CCmnPipe;
class CSuspendedThread;

extern CCSIComm* g_pCommInterface;
extern CCmnPipe* g_pPipe;
extern CSuspendedThread* g_pIpcThread;  // the end-event thread; created and deleted by the entry
extern std::atomic<bool> g_bRunning;    // the file loop runs while true; cleared by end events
extern std::atomic<bool> g_bCommActive; // the end-event thread may call the front-end
extern std::mutex g_csShutdown;         // end-event handling against the end of the file loop
extern bool g_bUseModem;

// Procedure of the end-event thread: reads end events from g_pPipe until told to stop.
unsigned EndEventThread();
