// Stopping a serving process: Ctrl+C (or Ctrl+Break, console close) in its
// console, or "ZentravaSigningService stop" from any process of the same
// user, which sets the named event below.
#pragma once

#include <windows.h>

constexpr wchar_t kStopEventName[] = L"Local\\ZentravaSigningService.Stop";

// Manual-reset, not signalled. Null if it cannot be made, or if it already
// exists (some other process made it and could then stop us at will).
HANDLE CreateStopEvent(SECURITY_ATTRIBUTES* security, DWORD* lastError);

// Console control events set the stop event. A console close ends the
// process when the handler returns, so for that one the handler waits
// (a few seconds at most, as the system allows) until `stoppedEvent` says
// that the exchanges in progress have finished.
void StopOnConsoleControl(HANDLE stopEvent, HANDLE stoppedEvent);

// Sets a running service's stop event; false (ERROR_FILE_NOT_FOUND) when
// no service is running.
bool SignalRunningService(DWORD* lastError);
