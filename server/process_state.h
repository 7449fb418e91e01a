// Process-wide state shared by the entry's file loop and the end-event thread.
#pragma once
#include <atomic>
#include <mutex>

class CCSIComm;
class CCmnPipe;

extern CCSIComm* g_pCommInterface;
extern CCmnPipe* g_pPipe;
extern std::atomic<bool> g_bRunning;    // the file loop runs while true; cleared by end events
extern std::atomic<bool> g_bCommActive; // the end-event thread may call the front-end
extern std::mutex g_csShutdown;         // end-event handling against the end of the file loop
extern bool g_bUseModem;

// Procedure of the end-event thread: reads end events from g_pPipe until told to stop.
unsigned EndEventThread();
