#include "pipe_server.h"

#include "console_mode.h"
#include "exchange_log.h"
#include "log_writer.h"
#include "pipe_security.h"
#include "protocol.h"
#include "serving_core.h"
#include "serving_names.h"
#include "service_status.h"
#include "stop_signal.h"
#include "unique_resource.h"

#include <cstdio>
#include <string>

namespace {

// Whether some process serves the name now. Wine ignores
// FILE_FLAG_FIRST_PIPE_INSTANCE, so the name is looked for first.
bool PipeNameServed(const wchar_t* name)
{
    return WaitNamedPipeW(name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

// The first instance of a name nobody serves, or INVALID_HANDLE_VALUE
// (ERROR_PIPE_BUSY when it is served already).
HANDLE CreateFirstInstance(const wchar_t* name, SECURITY_ATTRIBUTES* security)
{
    if (PipeNameServed(name)) {
        SetLastError(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    return CreatePipeInstance(name, security, true);
}

}  // namespace

int Serve(const ServeOptions& options)
{
    CurrentUserSecurity security;
    if (!BuildCurrentUserSecurity(&security)) {
        std::printf("serve: cannot build the pipe's security descriptor (%lu)\n", GetLastError());
        return kExitFailure;
    }
    ServingNames names;
    if (!ReadServingNames(&names)) {
        std::printf("serve: cannot read the user the service runs as (%lu)\n", GetLastError());
        return kExitFailure;
    }
    // The user's own name decides whether this user's service runs already.
    UniqueFile own(CreateFirstInstance(names.userPipe.c_str(), &security.attributes));
    if (!own) {
        const DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
            std::printf("serve: another process already serves the pipe\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the pipe (%lu)\n", err);
        return kExitFailure;
    }
    // The machine-wide name only if nobody holds it: another user's service,
    // or any process at all.
    UniqueFile shared(CreateFirstInstance(kPipeNameW, &security.attributes));
    const DWORD sharedError = shared ? 0 : GetLastError();
    DWORD err = 0;
    UniqueHandle stop(CreateStopEvent(&security.attributes, names.stopEvent.c_str(), &err));
    if (!stop) {
        if (err == ERROR_ALREADY_EXISTS) {
            std::printf("serve: another process holds the stop event\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the stop event (%lu)\n", err);
        return kExitFailure;
    }
    UniqueFile logFile;
    if (!options.logFile.empty()) {
        // Appended to, one line at a time; others may read it (or rename it) meanwhile.
        logFile.Reset(CreateFileW(options.logFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!logFile) {
            std::printf("serve: cannot open the log file (%lu)\n", GetLastError());
            return kExitFailure;
        }
    }
    // Set once every exchange has finished, for a console close to wait on.
    UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ServerState state;
    const LONG secretStatus = LoadServerSecret(&state);
    if (secretStatus != 0) {
        std::printf("serve: cannot load the pipe secret (0x%08lx)\n", static_cast<unsigned long>(secretStatus));
        return kExitFailure;
    }
    const QuickEditOff quickEdit;
    const bool toFile = static_cast<bool>(logFile);
    // Before the first exchange; without a writer thread lines are written in place.
    if (StartLogWriter(toFile ? logFile.get() : GetStdHandle(STD_OUTPUT_HANDLE), toFile) && toFile) {
        logFile.Release();
    }
    if (!shared) {
        char note[256];
        std::snprintf(note, sizeof(note), "serve: %ls is held by another process (%lu); serving only %ls", kPipeNameW,
                      sharedError, names.userPipe.c_str());
        WriteLogLine(note);
    }
    ServedPipe pipes[2] = {{names.userPipe.c_str(), own.Release()}, {kPipeNameW, nullptr}};
    DWORD count = 1;
    if (shared) {
        pipes[count++].first = shared.Release();
    }
    ServingCore* core = nullptr;
    std::string error;
    if (!StartServingCore(options, &state, &security.attributes, pipes, count, &core, &error)) {
        StopLogWriter(kLogDrainMs);
        std::printf("%s\n", error.c_str());
        return kExitFailure;
    }
    StopOnConsoleControl(stop.get(), stopped.get());
    const ServingShape shape = CoreShape(core);
    char line[512];
    std::snprintf(line, sizeof(line),
                  "serving %ls%s%ls with %lu instances in reserve%s, %lu key workers, %lu I/O threads",
                  names.userPipe.c_str(), count == 2 ? " and " : "", count == 2 ? kPipeNameW : L"", shape.reserve,
                  count == 2 ? " on each" : "", shape.workers, shape.ioThreads);
    WriteLogLine(line);
    if (toFile) {
        // The console still says that the service is up, once.
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
    const int exitCode = RunServingCore(core, stop.get(), &error);
    if (exitCode != kExitOk) {
        WriteLogLine(error);
    }
    WriteLogLine("stopped");
    // Bounded: output that does not drain must not keep the process alive.
    StopLogWriter(kLogDrainMs);
    if (stopped) {
        SetEvent(stopped.get());
    }
    return exitCode;
}
