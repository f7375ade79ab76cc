#include "stop_signal.h"

#include "unique_resource.h"

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
    UniqueHandle event(CreateEventW(security, TRUE, FALSE, kStopEventName));
    *lastError = GetLastError();
    if (*lastError == ERROR_ALREADY_EXISTS) {
        return nullptr;  // another service's event: ours to close, not to use
    }
    return event.Release();
}

void StopOnConsoleControl(HANDLE stopEvent)
{
    g_stopEvent = stopEvent;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool SignalRunningService(DWORD* lastError)
{
    const UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
    if (!event) {
        *lastError = GetLastError();
        return false;
    }
    const bool ok = SetEvent(event.get()) != FALSE;
    *lastError = ok ? 0 : GetLastError();
    return ok;
}
