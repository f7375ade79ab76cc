// Stopping a serving process: Ctrl+C (or Ctrl+Break, console close) in its
// console, or "ZentravaSigningService stop" from any process of the same
// user, which sets the named event below.
#pragma once

#include <windows.h>

// A service's event is this name, a dot and its user's SID
// (serving_names.h); a service of an earlier version used the name alone.
constexpr wchar_t kStopEventName[] = L"Local\\ZentravaSigningService.Stop";

// Manual-reset, not signalled. Null if it cannot be made, or if it already
// exists (some other process made it and could then stop us at will).
HANDLE CreateStopEvent(SECURITY_ATTRIBUTES* security, const wchar_t* name, DWORD* lastError);

// Console control events set the stop event. A console close ends the
// process when the handler returns, so for that one the handler waits
// (a few seconds at most, as the system allows) until `stoppedEvent` says
// that the exchanges in progress have finished.
void StopOnConsoleControl(HANDLE stopEvent, HANDLE stoppedEvent);

// Sets the stop event of the caller's user's service, or, only when there
// is none, that of a service of an earlier version; false
// (ERROR_FILE_NOT_FOUND) when no service is running.
bool SignalRunningService(DWORD* lastError);
