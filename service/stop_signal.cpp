#include "stop_signal.h"

namespace {

HANDLE g_stopEvent = nullptr;
HANDLE g_stoppedEvent = nullptr;

// The system ends a closing console's processes about 5 s after the event.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        SetEvent(g_stopEvent);
        return TRUE;
    case CTRL_CLOSE_EVENT:
        SetEvent(g_stopEvent);
        if (g_stoppedEvent != nullptr) {
            WaitForSingleObject(g_stoppedEvent, kCloseWaitMs);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

HANDLE CreateStopEvent(SECURITY_ATTRIBUTES* security, DWORD* lastError)
{
    HANDLE event = CreateEventW(security, TRUE, FALSE, kStopEventName);
    *lastError = GetLastError();
    if (event != nullptr && *lastError == ERROR_ALREADY_EXISTS) {
        CloseHandle(event);
        return nullptr;
    }
    return event;
}

void StopOnConsoleControl(HANDLE stopEvent, HANDLE stoppedEvent)
{
    g_stopEvent = stopEvent;
    g_stoppedEvent = stoppedEvent;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool SignalRunningService(DWORD* lastError)
{
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName);
    if (event == nullptr) {
        *lastError = GetLastError();
        return false;
    }
    bool ok = SetEvent(event) != FALSE;
    *lastError = ok ? 0 : GetLastError();
    CloseHandle(event);
    return ok;
}
