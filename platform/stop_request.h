// Requests to stop that reach the process from outside rather than through the control pipe:
// SIGTERM, SIGINT and SIGHUP on POSIX (systemctl stop, Ctrl+C, a closed terminal); Ctrl+C,
// Ctrl+Break and the console's close on Windows. The platform only records each request in
// order; the process decides what it means.
#pragma once
#include <string>

namespace platform {

// Starts recording requests instead of the platform's default action (ending the process). Call
// once, on the main thread, before any other thread exists. POSIX: the signals are then held
// back from every thread except one that waits in StopRequestWait, so that no other thread's
// system call is ever interrupted. Windows: Ctrl+C is taken even when the process was started in
// a process group of its own, where it would otherwise be ignored. False when recording could
// not be set up; the default action then stays.
bool StopRequestsInstall();

// Waits for the next request and names it ("signal SIGTERM", "console event CTRL_C_EVENT").
// Requests that came before the first wait are kept. False once StopRequestsRelease was called.
bool StopRequestWait(std::string* name);

// Ends the wait in progress and every later one; requests that come afterwards are ignored.
void StopRequestsRelease();

} // namespace platform
