#include "stop_signal.h"

namespace {

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        SetEvent(g_stopEvent);
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

void StopOnConsoleControl(HANDLE stopEvent)
{
    g_stopEvent = stopEvent;
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
