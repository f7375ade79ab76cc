#include "connection.h"

#include "exchange_log.h"
#include "handshake.h"
#include "heap_block.h"
#include "unique_resource.h"

#include <memory>
#include <new>

namespace {

enum class Phase { Listening, Hello, Handshake, Request, Working, Reply, Closing };

// What the service reads from a client in one read. Fields the client
// writes back to back then cost one read between them; a field longer than
// this goes straight to its place.
constexpr uint32_t kIntakeBytes = 4096;
// Bytes a client may still send after its request before it is dropped.
constexpr uint32_t kMaxStrayBytes = 4096;

// Everything of one exchange; wiped when it goes.
struct Exchange {
    ExchangeSecrets secrets;
    ClientProofDecoder proof;
    Envelope request;
    EnvelopeDecoder requestDecoder{&request};
    BYTE intake[kIntakeBytes] = {};
    uint32_t start = 0;  // intake[start, end) is read and not yet decoded
    uint32_t end = 0;
    bool direct = false;  // the pending read goes straight into the request's field
    BYTE hello[kServerHelloMaxLength] = {};
    HeapBlock reply;  // the reply envelope's wire bytes
    const BYTE* out = nullptr;
    uint32_t outLength = 0;
    uint32_t outDone = 0;
    uint32_t stray = 0;
    ULONGLONG connectedAt = 0;
    ExchangeRecord record;

    Exchange() = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange()
    {
        WipeBytes(intake, sizeof(intake));
        WipeBytes(hello, sizeof(hello));
    }
};

}  // namespace

struct Connection {
    ServingCore* core = nullptr;
    // Under core->lock:
    Connection* prev = nullptr;
    Connection* next = nullptr;
    bool listening = false;
    bool counted = false;  // counted in core->perClient under clientPid
    DWORD clientPid = 0;

    UniqueFile pipe;
    UniqueThreadpoolIo io;
    OVERLAPPED ov{};

    // Under lock (shared with the sweep): the phase and its operation.
    SRWLOCK lock = SRWLOCK_INIT;
    Phase phase = Phase::Listening;
    ULONGLONG deadline = 0;  // 0: none
    bool pending = false;    // an operation is in flight
    bool expired = false;    // the sweep cancelled it for its deadline

    std::unique_ptr<Exchange> ex;  // while a client is connected
};

namespace {

enum class Op { Connect, Read, Write };

ULONGLONG Now()
{
    return GetTickCount64();
}

// Starts one overlapped operation of `phase`. False, with the error, if it
// failed at once (then no completion will come).
bool Issue(Connection* c, Phase phase, ULONGLONG deadline, Op op, BYTE* buffer, uint32_t length, DWORD* error)
{
    AcquireSRWLockExclusive(&c->lock);
    c->phase = phase;
    c->deadline = deadline;
    c->expired = false;
    c->pending = true;
    c->ov = OVERLAPPED{};
    StartThreadpoolIo(c->io.get());
    BOOL ok = FALSE;
    switch (op) {
    case Op::Connect: ok = ConnectNamedPipe(c->pipe.get(), &c->ov); break;
    case Op::Read: ok = ReadFile(c->pipe.get(), buffer, length, nullptr, &c->ov); break;
    case Op::Write: ok = WriteFile(c->pipe.get(), buffer, length, nullptr, &c->ov); break;
    }
    const DWORD err = ok ? 0 : GetLastError();
    const bool started = ok || err == ERROR_IO_PENDING;
    if (!started) {
        CancelThreadpoolIo(c->io.get());
        c->pending = false;
    }
    ReleaseSRWLockExclusive(&c->lock);
    *error = started ? 0 : err;
    return started;
}

void SetPhase(Connection* c, Phase phase)
{
    AcquireSRWLockExclusive(&c->lock);
    c->phase = phase;
    c->deadline = 0;
    ReleaseSRWLockExclusive(&c->lock);
}

// Closes the instance and forgets it.
void Retire(Connection* c)
{
    ServingCore* core = c->core;
    AcquireSRWLockExclusive(&core->lock);
    if (c->prev != nullptr) {
        c->prev->next = c->next;
    } else {
        core->first = c->next;
    }
    if (c->next != nullptr) {
        c->next->prev = c->prev;
    }
    if (c->listening) {
        c->listening = false;
        --core->listening;
    }
    // No operation is pending on it now. Its I/O object is closed later,
    // outside its own callbacks (DrainRetired): closing it from within one
    // races with the pool's own release under Wine.
    c->pipe.Reset();
    c->prev = nullptr;
    c->next = core->retired;
    core->retired = c;
    const bool empty = IdleLocked(core);
    ReleaseSRWLockExclusive(&core->lock);
    if (empty) {
        SetEvent(core->idle.get());
    }
}

void Accept(Connection* c);

VOID CALLBACK AcceptLater(PTP_CALLBACK_INSTANCE, PVOID context)
{
    Accept(static_cast<Connection*>(context));
}

// Listens on an instance already counted as listening.
bool StartListen(Connection* c)
{
    DWORD error = 0;
    if (Issue(c, Phase::Listening, 0, Op::Connect, nullptr, 0, &error)) {
        return true;
    }
    // A client that came between making the instance and listening on it.
    if (error == ERROR_PIPE_CONNECTED && TrySubmitThreadpoolCallback(AcceptLater, c, &c->core->ioEnv)) {
        return true;
    }
    AcquireSRWLockExclusive(&c->core->lock);
    c->core->lastCreateError = error != 0 ? error : GetLastError();
    ReleaseSRWLockExclusive(&c->core->lock);
    Retire(c);
    return false;
}

// Ends the connection's count against its client process. Called with the
// core lock held.
void UncountClient(Connection* c)
{
    if (!c->counted) {
        return;
    }
    auto it = c->core->perClient.find(c->clientPid);
    if (it != c->core->perClient.end() && --it->second == 0) {
        c->core->perClient.erase(it);
    }
    c->counted = false;
}

// The exchange is over (or was refused): disconnect, log, and listen again
// if the reserve is short, else close. `outcome` null keeps the recorded one.
void Finish(Connection* c, const char* outcome)
{
    ServingCore* core = c->core;
    ExchangeRecord record;
    if (c->ex) {
        if (outcome != nullptr) {
            c->ex->record.outcome = outcome;
        }
        c->ex->record.milliseconds = Now() - c->ex->connectedAt;
        record = std::move(c->ex->record);
    }
    const bool logged = c->ex != nullptr;
    c->ex.reset();
    SetPhase(c, Phase::Listening);
    DisconnectNamedPipe(c->pipe.get());
    AcquireSRWLockExclusive(&core->lock);
    --core->serving;
    UncountClient(c);
    const bool reuse = !core->stopping && core->listening + core->creating < core->options.reserve;
    if (reuse) {
        c->listening = true;
        ++core->listening;
    }
    ReleaseSRWLockExclusive(&core->lock);
    // Listen (or close) before logging: the line can wait, a client cannot.
    if (reuse) {
        StartListen(c);
    } else {
        Retire(c);
    }
    if (logged) {
        LogExchange(record);
    }
}

// Dropped in the close wait (too many stray bytes, or its deadline): the
// client may not have read the whole reply, so the exchange is not ok.
constexpr char kReplyUnconfirmed[] = "reply-unconfirmed";

// The close wait ends normally when the client closes its end.
bool ClientClosed(DWORD error)
{
    return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA;
}

// The outcome of a read that failed with `error`; null keeps the recorded one.
const char* ReadFailure(Phase phase, DWORD error)
{
    if (phase == Phase::Closing) {
        return ClientClosed(error) ? nullptr : kReplyUnconfirmed;
    }
    return phase == Phase::Handshake ? "handshake-failed" : "request-unreadable";
}

void ProcessIntake(Connection* c, Phase phase, ULONGLONG deadline);

void StartRead(Connection* c, Phase phase, ULONGLONG deadline)
{
    Exchange* ex = c->ex.get();
    ex->start = 0;
    ex->end = 0;
    BYTE* buffer = ex->intake;
    uint32_t length = kIntakeBytes;
    ex->direct = false;
    if (phase == Phase::Request) {
        const FieldTarget target = ex->requestDecoder.Next();
        if (target.length >= kIntakeBytes) {
            ex->direct = true;
            buffer = target.at;
            length = target.length;
        }
    }
    DWORD error = 0;
    if (!Issue(c, phase, deadline, Op::Read, buffer, length, &error)) {
        Finish(c, ReadFailure(phase, error));
    }
}

void StartWrite(Connection* c, Phase phase, const BYTE* bytes, uint32_t length, ULONGLONG deadline)
{
    Exchange* ex = c->ex.get();
    ex->out = bytes;
    ex->outLength = length;
    ex->outDone = 0;
    DWORD error = 0;
    if (!Issue(c, phase, deadline, Op::Write, const_cast<BYTE*>(bytes), length, &error)) {
        Finish(c, phase == Phase::Hello ? "handshake-failed" : "reply-not-sent");
    }
}

// The request is whole: open it, answer it, seal the reply (on a worker).
VOID CALLBACK AnswerWork(PTP_CALLBACK_INSTANCE, PVOID context)
{
    Connection* c = static_cast<Connection*>(context);
    Exchange* ex = c->ex.get();
    const char* outcome = AnswerRequest(c->core->state, ex->secrets.keys, ex->request, &ex->record, &ex->reply);
    if (!ex->reply) {
        Finish(c, outcome);
        return;
    }
    ex->record.outcome = outcome;
    StartWrite(c, Phase::Reply, ex->reply.get(), static_cast<uint32_t>(ex->reply.size()),
               Now() + c->core->options.transferMs);
}

// A failed proof: the secret file may have been replaced (on a worker: it
// reads the file and DPAPI).
VOID CALLBACK ReloadWork(PTP_CALLBACK_INSTANCE, PVOID context)
{
    Connection* c = static_cast<Connection*>(context);
    Exchange* ex = c->ex.get();
    if (!ReloadSecretAfterFailedProof(c->core->state) ||
        !ProofMatches(c->core->state, &ex->secrets, ex->proof.clientNonce(), ex->proof.proof())) {
        Finish(c, "proof-rejected");
        return;
    }
    ProcessIntake(c, Phase::Request, Now() + c->core->options.transferMs);
}

bool SubmitWork(Connection* c, PTP_SIMPLE_CALLBACK work)
{
    SetPhase(c, Phase::Working);
    return TrySubmitThreadpoolCallback(work, c, &c->core->workEnv) != FALSE;
}

// Decodes what has been read; reads more, checks the proof or hands the
// request to a worker.
void ProcessIntake(Connection* c, Phase phase, ULONGLONG deadline)
{
    Exchange* ex = c->ex.get();
    ServingCore* core = c->core;
    for (;;) {
        bool refused = false;
        const uint32_t available = ex->end - ex->start;
        if (phase == Phase::Handshake) {
            ex->start += FeedFields(&ex->proof, {ex->intake + ex->start, available}, &refused);
            if (refused) {
                Finish(c, "handshake-failed");
                return;
            }
            if (!ex->proof.Complete()) {
                break;
            }
            if (ProofMatches(core->state, &ex->secrets, ex->proof.clientNonce(), ex->proof.proof())) {
                phase = Phase::Request;
                deadline = Now() + core->options.transferMs;
                continue;
            }
            if (!SecretReloadDue(core->state) || !SubmitWork(c, ReloadWork)) {
                Finish(c, "proof-rejected");
            }
            return;
        }
        if (phase == Phase::Request) {
            ex->start += FeedFields(&ex->requestDecoder, {ex->intake + ex->start, available}, &refused);
            if (refused) {
                Finish(c, "request-unreadable");
                return;
            }
            if (!ex->requestDecoder.Complete()) {
                break;
            }
            // Anything sent after the request stays in the intake for the
            // close wait to count and skip, once.
            ex->stray = 0;
            if (!SubmitWork(c, AnswerWork)) {
                Finish(c, "out-of-memory");
            }
            return;
        }
        // Closing: whatever comes is skipped, up to a bound.
        ex->stray += available;
        ex->start = ex->end;
        if (ex->stray > kMaxStrayBytes) {
            Finish(c, kReplyUnconfirmed);
            return;
        }
        break;
    }
    StartRead(c, phase, deadline);
}

// A read the sweep cancelled ends with ERROR_OPERATION_ABORTED. One that
// completed before the cancel reached it brought the client's bytes in time
// (only its callback was late, under load) and is served as any other.
void OnRead(Connection* c, Phase phase, ULONGLONG deadline, ULONG result, ULONG_PTR bytes)
{
    Exchange* ex = c->ex.get();
    if (result != NO_ERROR || bytes == 0) {
        // A read of nothing is the end of the pipe; in the close wait that is
        // the client closing, the normal end.
        Finish(c, ReadFailure(phase, result == NO_ERROR ? ERROR_BROKEN_PIPE : result));
        return;
    }
    const auto n = static_cast<uint32_t>(bytes);
    if (ex->direct) {
        if (!ex->requestDecoder.Advance(n)) {
            Finish(c, "request-unreadable");
            return;
        }
    } else {
        ex->end += n;
    }
    ProcessIntake(c, phase, deadline);
}

void OnWritten(Connection* c, Phase phase, ULONGLONG deadline, ULONG result, ULONG_PTR bytes)
{
    Exchange* ex = c->ex.get();
    if (result != NO_ERROR) {
        Finish(c, phase == Phase::Hello ? "handshake-failed" : "reply-not-sent");
        return;
    }
    ex->outDone += static_cast<uint32_t>(bytes);
    if (ex->outDone < ex->outLength) {
        DWORD error = 0;
        if (!Issue(c, phase, deadline, Op::Write, const_cast<BYTE*>(ex->out + ex->outDone),
                   ex->outLength - ex->outDone, &error)) {
            Finish(c, phase == Phase::Hello ? "handshake-failed" : "reply-not-sent");
        }
        return;
    }
    if (phase == Phase::Hello) {
        ProcessIntake(c, Phase::Handshake, ex->connectedAt + c->core->options.handshakeMs);
        return;
    }
    // The client reads the whole reply and then closes its end; a disconnect
    // now would discard what it has not read yet, so wait for that close.
    // The wait no longer counts against the client's process: a process of
    // N threads in a loop then holds at most N, not N plus the closes not
    // yet seen.
    AcquireSRWLockExclusive(&c->core->lock);
    UncountClient(c);
    ReleaseSRWLockExclusive(&c->core->lock);
    ProcessIntake(c, Phase::Closing, Now() + c->core->options.closeWaitMs);
}

// A client connected: keep the reserve full first, then serve it.
void Accept(Connection* c)
{
    ServingCore* core = c->core;
    AcquireSRWLockExclusive(&core->lock);
    if (c->listening) {
        c->listening = false;
        --core->listening;
    }
    ++core->serving;
    ReleaseSRWLockExclusive(&core->lock);
    RefillReserve(core);

    c->ex.reset(new (std::nothrow) Exchange);
    if (!c->ex) {
        Finish(c, nullptr);
        return;
    }
    Exchange* ex = c->ex.get();
    ex->connectedAt = Now();
    ULONG pid = 0;
    if (!GetNamedPipeClientProcessId(c->pipe.get(), &pid)) {
        pid = 0;  // all clients of unknown origin share one count
    }
    AcquireSRWLockExclusive(&core->lock);
    c->clientPid = pid;
    c->counted = true;
    const DWORD held = ++core->perClient[pid];
    ReleaseSRWLockExclusive(&core->lock);
    if (held > core->options.perClientLimit) {
        Finish(c, "too-many-connections");
        return;
    }
    uint32_t length = 0;
    if (!DrawServerNonce(&ex->secrets) ||
        !EncodeServerHello(ex->secrets.serverNonce, ex->hello, &length)) {
        Finish(c, "no-random");
        return;
    }
    StartWrite(c, Phase::Hello, ex->hello, length, ex->connectedAt + core->options.handshakeMs);
}

void OnListenEnded(Connection* c, ULONG result)
{
    if (result == NO_ERROR || result == ERROR_PIPE_CONNECTED) {
        Accept(c);
        return;
    }
    // Cancelled (stopping) or the client went before it was served.
    ServingCore* core = c->core;
    Retire(c);
    RefillReserve(core);
}

VOID CALLBACK OnIo(PTP_CALLBACK_INSTANCE, PVOID context, PVOID, ULONG result, ULONG_PTR bytes, PTP_IO)
{
    auto* c = static_cast<Connection*>(context);
    AcquireSRWLockExclusive(&c->lock);
    c->pending = false;
    c->expired = false;
    const Phase phase = c->phase;
    const ULONGLONG deadline = c->deadline;
    ReleaseSRWLockExclusive(&c->lock);
    switch (phase) {
    case Phase::Listening: OnListenEnded(c, result); break;
    case Phase::Hello:
    case Phase::Reply: OnWritten(c, phase, deadline, result, bytes); break;
    case Phase::Handshake:
    case Phase::Request:
    case Phase::Closing: OnRead(c, phase, deadline, result, bytes); break;
    case Phase::Working: break;  // no I/O is started in this phase
    }
}

}  // namespace

bool ListenOnNewInstance(ServingCore* core, HANDLE pipe, bool fromCreatingSlot)
{
    auto* c = new (std::nothrow) Connection;
    PTP_IO io = nullptr;
    if (c != nullptr) {
        c->core = core;
        c->pipe.Reset(pipe);
        io = CreateThreadpoolIo(pipe, OnIo, c, &core->ioEnv);
    }
    if (io == nullptr) {
        const DWORD error = c != nullptr ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        if (c != nullptr) {
            delete c;  // closes the pipe
        } else {
            CloseHandle(pipe);
        }
        AcquireSRWLockExclusive(&core->lock);
        core->lastCreateError = error;
        if (fromCreatingSlot) {
            --core->creating;
        }
        const bool idle = IdleLocked(core);
        ReleaseSRWLockExclusive(&core->lock);
        if (idle) {
            SetEvent(core->idle.get());
        }
        return false;
    }
    c->io.Reset(io);
    AcquireSRWLockExclusive(&core->lock);
    if (core->stopping) {
        // Made while the core stopped: never linked, so the stop cannot
        // find it too late and close its I/O object under a pending listen.
        if (fromCreatingSlot) {
            --core->creating;
        }
        const bool idle = IdleLocked(core);
        ReleaseSRWLockExclusive(&core->lock);
        delete c;  // no operation was started on it
        if (idle) {
            SetEvent(core->idle.get());
        }
        return false;
    }
    c->next = core->first;
    if (core->first != nullptr) {
        core->first->prev = c;
    }
    core->first = c;
    c->listening = true;
    ++core->listening;
    if (fromCreatingSlot) {
        --core->creating;
    }
    ReleaseSRWLockExclusive(&core->lock);
    return StartListen(c);
}

void ExpireIfOverdue(Connection* c, ULONGLONG now)
{
    AcquireSRWLockExclusive(&c->lock);
    if (c->pending && c->deadline != 0 && now >= c->deadline && !c->expired) {
        c->expired = true;
        CancelIoEx(c->pipe.get(), &c->ov);
    }
    ReleaseSRWLockExclusive(&c->lock);
}

void CancelListen(Connection* c)
{
    AcquireSRWLockExclusive(&c->lock);
    if (c->pending && c->phase == Phase::Listening) {
        CancelIoEx(c->pipe.get(), &c->ov);
    }
    ReleaseSRWLockExclusive(&c->lock);
}

void DrainRetired(ServingCore* core)
{
    AcquireSRWLockExclusive(&core->lock);
    Connection* c = core->retired;
    core->retired = nullptr;
    ReleaseSRWLockExclusive(&core->lock);
    while (c != nullptr) {
        Connection* next = c->next;
        WaitForThreadpoolIoCallbacks(c->io.get(), FALSE);
        c->io.Reset();
        delete c;
        c = next;
    }
}

Connection* NextConnection(const Connection* c)
{
    return c->next;
}

bool IsListening(const Connection* c)
{
    return c->listening;
}
