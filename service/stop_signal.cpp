#include "stop_signal.h"

#include "serving_names.h"
#include "unique_resource.h"

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

HANDLE CreateStopEvent(SECURITY_ATTRIBUTES* security, const wchar_t* name, DWORD* lastError)
{
    UniqueHandle event(CreateEventW(security, TRUE, FALSE, name));
    *lastError = GetLastError();
    if (*lastError == ERROR_ALREADY_EXISTS) {
        return nullptr;  // another service's event: ours to close, not to use
    }
    return event.Release();
}

void StopOnConsoleControl(HANDLE stopEvent, HANDLE stoppedEvent)
{
    g_stopEvent = stopEvent;
    g_stoppedEvent = stoppedEvent;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool SignalRunningService(DWORD* lastError)
{
    ServingNames names;
    if (!ReadServingNames(&names)) {
        *lastError = GetLastError();
        return false;
    }
    UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, names.stopEvent.c_str()));
    if (!event && GetLastError() == ERROR_FILE_NOT_FOUND) {
        event.Reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEventName));
    }
    if (!event) {
        *lastError = GetLastError();
        return false;
    }
    const bool ok = SetEvent(event.get()) != FALSE;
    *lastError = ok ? 0 : GetLastError();
    return ok;
}
