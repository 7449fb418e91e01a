// Process-wide state shared by the entry's file loop and the end-event thread.
// g_bRunning and g_bCommActive are polled without a lock by the other thread, hence atomic;
// g_bCommActive changes only while g_csShutdown is held.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

class CCSIComm;
class CCmnPipe;
class CSuspendedThread;

// The other threads' views of the parts the process entry owns: each is set once its part exists
// and cleared when the entry ends it, after the threads that read it have been waited for.
extern CCSIComm* g_pCommInterface;
extern CCmnPipe* g_pPipe;
extern CSuspendedThread* g_pIpcThread;  // the end-event thread
extern std::atomic<bool> g_bRunning;    // the file loop runs while true; cleared by end events
extern std::atomic<bool> g_bCommActive; // the end-event thread may call the front-end
extern std::mutex g_csShutdown;         // end-event handling against the end of the file loop
extern bool g_bUseModem;

// Procedure of the end-event thread: reads end events from g_pPipe until told to stop.
unsigned EndEventThread();

// What an end event (0x8E first, 0x8F second; any other byte is none) does, for the pipe's
// events and for stop requests alike: logs the cause first when one is given, then the usual
// lines, and clears the run flag and cancels as the event asks. True when the thread that got
// it has nothing more to wait for.
bool ActOnEndEvent(unsigned char event, const std::string& cause);

// Procedure of the stop-request thread: takes requests from `wait` (false: no more will come)
// and acts on the first as on 0x8E and on every later one as on 0x8F.
unsigned StopRequestThread(const std::function<bool(std::string*)>& wait);

// Set once a stop request has been received: the end-event thread is then not waited for
// beyond the end of its current read.
extern std::atomic<bool> g_bStopRequested;
