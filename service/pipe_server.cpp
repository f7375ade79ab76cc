#include "pipe_server.h"

#include "exchange_log.h"
#include "pipe_security.h"
#include "protocol.h"
#include "serving_core.h"
#include "service_status.h"
#include "stop_signal.h"
#include "unique_resource.h"

#include <cstdio>
#include <string>

int Serve(const ServeOptions& options)
{
    CurrentUserSecurity security;
    if (!BuildCurrentUserSecurity(&security)) {
        std::printf("serve: cannot build the pipe's security descriptor (%lu)\n", GetLastError());
        return kExitFailure;
    }
    UniqueFile first(CreatePipeInstance(&security.attributes, true));
    if (!first) {
        const DWORD err = GetLastError();
        if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) {
            std::printf("serve: another process already serves the pipe\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the pipe (%lu)\n", err);
        return kExitFailure;
    }
    DWORD err = 0;
    UniqueHandle stop(CreateStopEvent(&security.attributes, &err));
    if (!stop) {
        if (err == ERROR_ALREADY_EXISTS) {
            std::printf("serve: another process holds the stop event\n");
            return kExitAlreadyRunning;
        }
        std::printf("serve: cannot create the stop event (%lu)\n", err);
        return kExitFailure;
    }
    // Set once every exchange has finished, for a console close to wait on.
    UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ServerState state;
    const LONG secretStatus = LoadServerSecret(&state);
    if (secretStatus != 0) {
        std::printf("serve: cannot load the pipe secret (0x%08lx)\n", static_cast<unsigned long>(secretStatus));
        return kExitFailure;
    }
    ServingCore* core = nullptr;
    std::string error;
    if (!StartServingCore(options, &state, &security.attributes, first.Release(), &core, &error)) {
        std::printf("%s\n", error.c_str());
        return kExitFailure;
    }
    StopOnConsoleControl(stop.get(), stopped.get());
    const ServingShape shape = CoreShape(core);
    char line[192];
    std::snprintf(line, sizeof(line), "serving %ls with %lu instances in reserve, %lu key workers, %lu I/O threads",
                  kPipeNameW, shape.reserve, shape.workers, shape.ioThreads);
    WriteLogLine(line);
    const int exitCode = RunServingCore(core, stop.get(), &error);
    if (exitCode != kExitOk) {
        WriteLogLine(error);
    }
    WriteLogLine("stopped");
    if (stopped) {
        SetEvent(stopped.get());
    }
    return exitCode;
}
