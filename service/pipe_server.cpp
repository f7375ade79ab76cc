#include "pipe_server.h"

#include "protocol.h"
#include "exchange_log.h"
#include "pipe_security.h"
#include "server_exchange.h"
#include "service_status.h"
#include "stop_signal.h"

#include <cstdio>
#include <vector>

namespace {

constexpr DWORD kPipeBufferBytes = 4096;

struct Worker {
    ServerState* state = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
    HANDLE thread = nullptr;
};

HANDLE CreateInstance(SECURITY_ATTRIBUTES* security, DWORD instances, bool first)
{
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) {
        // Refuse to start if any other process already serves this name.
        openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    }
    return CreateNamedPipeW(kPipeNameW, openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            instances, kPipeBufferBytes, kPipeBufferBytes, 0, security);
}

bool Stopping(HANDLE stop)
{
    return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0;
}

enum class Listen { Pending, Connected, Failed };

// Starts listening for the next client on `ov` (its event: `connected`).
Listen StartListening(HANDLE pipe, HANDLE connected, OVERLAPPED* ov)
{
    *ov = OVERLAPPED{};
    ov->hEvent = connected;
    ResetEvent(connected);
    if (ConnectNamedPipe(pipe, ov)) {
        return Listen::Connected;
    }
    const DWORD err = GetLastError();
    return err == ERROR_PIPE_CONNECTED ? Listen::Connected
           : err == ERROR_IO_PENDING   ? Listen::Pending
                                       : Listen::Failed;
}

// Ends a pending listen that no client completed; its OVERLAPPED must not
// go away while the system may still write to it.
void CancelListen(HANDLE pipe, OVERLAPPED* ov)
{
    CancelIo(pipe);
    DWORD ignored = 0;
    GetOverlappedResult(pipe, ov, &ignored, TRUE);
}

// Waits for the client of a pending listen, or the stop event. True when a
// client is connected; otherwise the listen is over.
bool AwaitClient(const Worker& w, OVERLAPPED* ov)
{
    HANDLE waits[2] = {w.stop, ov->hEvent};
    const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0 + 1) {
        CancelListen(w.pipe, ov);
        return false;
    }
    DWORD ignored = 0;
    return GetOverlappedResult(w.pipe, ov, &ignored, FALSE) != FALSE;
}

DWORD WINAPI WorkerMain(void* arg)
{
    Worker* w = static_cast<Worker*>(arg);
    HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Every transfer of every exchange on this instance waits on this one.
    HANDLE io = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (connected == nullptr || io == nullptr) {
        if (connected != nullptr) {
            CloseHandle(connected);
        }
        if (io != nullptr) {
            CloseHandle(io);
        }
        WriteLogLine("worker stopped: no event");
        return 1;
    }
    OVERLAPPED listen{};
    Listen state = StartListening(w->pipe, connected, &listen);
    while (!Stopping(w->stop)) {
        const bool client = state == Listen::Connected || (state == Listen::Pending && AwaitClient(*w, &listen));
        if (!client) {
            // No listen is pending now: AwaitClient ended it, or none started.
            state = Listen::Failed;
            DisconnectNamedPipe(w->pipe);
            if (Stopping(w->stop)) {
                break;
            }
            Sleep(10);  // a client that vanished mid-connect; do not spin
            state = StartListening(w->pipe, connected, &listen);
            continue;
        }
        ExchangeRecord record;
        ServeConnection(w->state, w->pipe, io, &record);
        DisconnectNamedPipe(w->pipe);
        // Listen again before logging: a client that finds no listening
        // instance fails at once, as the protocol has no retry.
        state = StartListening(w->pipe, connected, &listen);
        LogExchange(record);
    }
    if (state == Listen::Pending) {
        CancelListen(w->pipe, &listen);
    }
    CloseHandle(connected);
    CloseHandle(io);
    return 0;
}

void Shutdown(std::vector<Worker>* workers, HANDLE stop)
{
    SetEvent(stop);
    for (Worker& w : *workers) {
        if (w.thread != nullptr) {
            WaitForSingleObject(w.thread, INFINITE);
            CloseHandle(w.thread);
        }
        if (w.pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(w.pipe);
        }
    }
    workers->clear();
}

}  // namespace

int Serve(DWORD instances)
{
    CurrentUserSecurity security;
    if (!BuildCurrentUserSecurity(&security)) {
        std::printf("serve: cannot build the pipe's security descriptor (%lu)\n", GetLastError());
        return kExitFailure;
    }
    HANDLE first = CreateInstance(&security.attributes, instances, true);
    if (first == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
            std::printf("serve: another process already serves the pipe\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the pipe (%lu)\n", err);
        return kExitFailure;
    }
    DWORD err = 0;
    HANDLE stop = CreateStopEvent(&security.attributes, &err);
    if (stop == nullptr) {
        CloseHandle(first);
        if (err == ERROR_ALREADY_EXISTS) {
            std::printf("serve: another process holds the stop event\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the stop event (%lu)\n", err);
        return kExitFailure;
    }
    ServerState state;
    LONG secretStatus = LoadServerSecret(&state);
    if (secretStatus != 0) {
        std::printf("serve: cannot load the pipe secret (0x%08lx)\n", static_cast<unsigned long>(secretStatus));
        CloseHandle(first);
        CloseHandle(stop);
        return kExitFailure;
    }

    std::vector<Worker> workers(instances);
    int exitCode = kExitOk;
    for (DWORD i = 0; i < instances; ++i) {
        Worker& w = workers[i];
        w.state = &state;
        w.stop = stop;
        w.pipe = i == 0 ? first : CreateInstance(&security.attributes, instances, false);
        if (w.pipe == INVALID_HANDLE_VALUE) {
            std::printf("serve: cannot create pipe instance %lu (%lu)\n", i + 1, GetLastError());
            exitCode = kExitFailure;
            break;
        }
        w.thread = CreateThread(nullptr, 0, WorkerMain, &w, 0, nullptr);
        if (w.thread == nullptr) {
            std::printf("serve: cannot start worker %lu (%lu)\n", i + 1, GetLastError());
            exitCode = kExitFailure;
            break;
        }
    }
    if (exitCode == kExitOk) {
        StopOnConsoleControl(stop);
        char line[128];
        std::snprintf(line, sizeof(line), "serving %ls with %lu instances", kPipeNameW, instances);
        WriteLogLine(line);
        WaitForSingleObject(stop, INFINITE);
    }
    Shutdown(&workers, stop);
    CloseHandle(stop);
    WriteLogLine("stopped");
    return exitCode;
}
