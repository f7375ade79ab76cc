#include "serving_core.h"

#include "connection.h"
#include "protocol.h"
#include "service_status.h"
#include "unique_resource.h"

#include <cstdio>
#include <new>

namespace {

constexpr DWORD kPipeBufferBytes = 4096;

DWORD ProcessorCount()
{
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    DWORD n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) {
            ++n;
        }
    }
    return n == 0 ? 1 : n;
}

// Every instance's operations are short (fields, HMACs, the next read), so
// a couple of threads serve any number of them; the private-key work runs
// on the workers, never on these, so that a burst of signatures cannot hold
// up accepting clients and keeping the reserve full.
DWORD IoThreadsFor(DWORD processors)
{
    return processors < 2 ? 2 : processors > 4 ? 4 : processors;
}

bool MakePool(DWORD threads, UniqueThreadpool* pool, TP_CALLBACK_ENVIRON* env, UniqueThreadpoolCleanupGroup* group)
{
    pool->Reset(CreateThreadpool(nullptr));
    if (!*pool) {
        return false;
    }
    SetThreadpoolThreadMaximum(pool->get(), threads);
    if (!SetThreadpoolThreadMinimum(pool->get(), 1)) {
        return false;
    }
    group->Reset(CreateThreadpoolCleanupGroup());
    if (!*group) {
        return false;
    }
    InitializeThreadpoolEnvironment(env);
    SetThreadpoolCallbackPool(env, pool->get());
    SetThreadpoolCallbackCleanupGroup(env, group->get(), nullptr);
    return true;
}

VOID CALLBACK Sweep(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER)
{
    auto* core = static_cast<ServingCore*>(context);
    const ULONGLONG now = GetTickCount64();
    AcquireSRWLockShared(&core->lock);
    for (Connection* c = core->first; c != nullptr; c = NextConnection(c)) {
        ExpireIfOverdue(c, now);
        // A listen started just after the stop's own round of cancels (an
        // instance made or reused as it came) is cancelled here.
        if (core->stopping && IsListening(c)) {
            CancelListen(c);
        }
    }
    ReleaseSRWLockShared(&core->lock);
    DrainRetired(core);
    // Instances that could not be made when they were due are tried again.
    RefillReserve(core);
    AcquireSRWLockExclusive(&core->lock);
    if (core->stopping || core->listening != 0) {
        core->unlistenedSince = 0;
    } else if (core->unlistenedSince == 0) {
        core->unlistenedSince = now;
    } else if (now - core->unlistenedSince >= kUnlistenedGiveUpMs && core->failure.empty()) {
        char message[160];
        std::snprintf(message, sizeof(message), "serve: no pipe instance can be kept listening (%lu)",
                      core->lastCreateError);
        core->failure = message;
        SetEvent(core->failed.get());
    }
    ReleaseSRWLockExclusive(&core->lock);
}

// Before any instance listens: every deadline of a client that connects
// from then on is kept, whatever fails afterwards.
bool StartSweep(ServingCore* core)
{
    core->sweep.Reset(CreateThreadpoolTimer(Sweep, core, &core->ioEnv));
    if (!core->sweep) {
        return false;
    }
    // Relative due time in 100 ns units, then every interval.
    FILETIME due{};
    const LONGLONG relative = -static_cast<LONGLONG>(kSweepIntervalMs) * 10000;
    due.dwLowDateTime = static_cast<DWORD>(relative & 0xFFFFFFFF);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(relative) >> 32);
    SetThreadpoolTimer(core->sweep.get(), &due, kSweepIntervalMs, 10);
    return true;
}

// Stops listening, waits for every instance to finish and go, then releases
// the timer, the callbacks still running and the pools.
void Shutdown(ServingCore* core)
{
    AcquireSRWLockExclusive(&core->lock);
    core->stopping = true;
    for (Connection* c = core->first; c != nullptr; c = NextConnection(c)) {
        if (IsListening(c)) {
            CancelListen(c);
        }
    }
    const bool empty = IdleLocked(core);
    ReleaseSRWLockExclusive(&core->lock);
    if (empty) {
        SetEvent(core->idle.get());
    }
    // Every phase that waits on a client has a deadline, and the sweep runs
    // from before the first instance listens, so this ends.
    WaitForSingleObject(core->idle.get(), INFINITE);
    core->sweep.Reset();
    DrainRetired(core);
    core->workGroup.Reset();
    core->ioGroup.Reset();
    core->workPool.Reset();
    core->ioPool.Reset();
}

}  // namespace

DWORD DefaultWorkers()
{
    return ProcessorCount();
}

HANDLE CreatePipeInstance(SECURITY_ATTRIBUTES* security, bool first)
{
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first) {
        // Refuse to start if any other process already serves this name.
        openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    }
    return CreateNamedPipeW(kPipeNameW, openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, security);
}

bool RefillReserve(ServingCore* core)
{
    for (;;) {
        AcquireSRWLockExclusive(&core->lock);
        const bool full = core->stopping || core->listening + core->creating >= core->options.reserve;
        if (!full) {
            ++core->creating;
        }
        ReleaseSRWLockExclusive(&core->lock);
        if (full) {
            return true;
        }
        HANDLE pipe = CreatePipeInstance(core->security, false);
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            AcquireSRWLockExclusive(&core->lock);
            --core->creating;
            core->lastCreateError = error;
            const bool idle = IdleLocked(core);
            ReleaseSRWLockExclusive(&core->lock);
            if (idle) {
                SetEvent(core->idle.get());
            }
            return false;
        }
        if (!ListenOnNewInstance(core, pipe, true)) {
            return false;
        }
    }
}

bool StartServingCore(const ServeOptions& options, ServerState* state, SECURITY_ATTRIBUTES* security,
                      HANDLE firstInstance, ServingCore** out, std::string* error)
{
    *out = nullptr;
    auto* core = new (std::nothrow) ServingCore;
    if (core == nullptr) {
        CloseHandle(firstInstance);
        *error = "serve: out of memory";
        return false;
    }
    core->options = options;
    if (core->options.reserve == 0) {
        core->options.reserve = 1;
    }
    core->state = state;
    core->security = security;
    const DWORD processors = ProcessorCount();
    core->workers = options.workers != 0 ? options.workers : processors;
    core->ioThreads = IoThreadsFor(processors);
    state->keys.copies = core->workers;
    char message[160] = {};
    core->idle.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    core->failed.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!core->idle || !core->failed || !MakePool(core->ioThreads, &core->ioPool, &core->ioEnv, &core->ioGroup) ||
        !MakePool(core->workers, &core->workPool, &core->workEnv, &core->workGroup)) {
        std::snprintf(message, sizeof(message), "serve: cannot set up the thread pools (%lu)", GetLastError());
        CloseHandle(firstInstance);
    } else if (!StartSweep(core)) {
        std::snprintf(message, sizeof(message), "serve: cannot set up the sweep timer (%lu)", GetLastError());
        CloseHandle(firstInstance);
    } else if (!ListenOnNewInstance(core, firstInstance, false) || !RefillReserve(core)) {
        // The sweep runs already: a client connected meanwhile meets its
        // deadlines, so the stop below ends.
        std::snprintf(message, sizeof(message), "serve: cannot create the pipe instances (%lu)",
                      core->lastCreateError);
    }
    if (message[0] != '\0') {
        *error = message;
        if (core->idle) {
            Shutdown(core);
        }
        delete core;
        return false;
    }
    *out = core;
    return true;
}

ServingShape CoreShape(const ServingCore* core)
{
    return ServingShape{core->options.reserve, core->workers, core->ioThreads};
}

int RunServingCore(ServingCore* core, HANDLE stop, std::string* error)
{
    HANDLE waits[2] = {stop, core->failed.get()};
    const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    int exitCode = kExitOk;
    if (which != WAIT_OBJECT_0) {
        exitCode = kExitFailure;
        AcquireSRWLockShared(&core->lock);
        *error = core->failure.empty() ? std::string("serve: cannot wait for the stop signal") : core->failure;
        ReleaseSRWLockShared(&core->lock);
    }
    Shutdown(core);
    delete core;
    return exitCode;
}
