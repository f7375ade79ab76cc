// The serving core in this process, with the platform calls it depends on
// failing in turn after it has started: instance creation, listening, the
// I/O objects and the hand-over to the workers. Whatever fails, the core
// either keeps serving every instance it leaves connectable, or ends with a
// clear failure; every handle it made is released once it ends.
#include "import_patch.h"
#include "pipe_server.h"
#include "protocol.h"
#include "provider_loader.h"
#include "service_process.h"
#include "service_status.h"
#include "signing_burst.h"
#include "stop_signal.h"
#include "data_root.h"
#include "unique_resource.h"
#include "wire_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kKey[] = L"sweep";

// Which call fails: calls of the patched function are counted from the
// moment the fault is armed; those numbered [first, first + count) fail.
struct Fault {
    std::atomic<bool> armed{false};
    std::atomic<unsigned> calls{0};
    unsigned first = 0;
    unsigned count = 0;
    std::atomic<unsigned> failed{0};

    // Counting starts now; calls [first, first + count) fail.
    void Arm(unsigned firstCall, unsigned callCount)
    {
        first = firstCall;
        count = callCount;
        calls.store(0);
        failed.store(0);
        armed.store(true);
    }

    bool Hit()
    {
        if (!armed.load()) {
            return false;
        }
        const unsigned n = calls.fetch_add(1);
        if (n < first || n >= first + count) {
            return false;
        }
        ++failed;
        return true;
    }
};

Fault g_fault;
// What the patched slot held. Kept after its patch goes: a call already
// inside a hook when the patch is undone still has somewhere to go.
void* g_original = nullptr;

template <typename F>
F Original()
{
    return reinterpret_cast<F>(g_original);
}

HANDLE WINAPI FailCreateNamedPipeW(LPCWSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                   DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    return Original<decltype(&CreateNamedPipeW)>()(name, open, mode, instances, out, in, timeout, sa);
}

BOOL WINAPI FailConnectNamedPipe(HANDLE pipe, LPOVERLAPPED ov)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    return Original<decltype(&ConnectNamedPipe)>()(pipe, ov);
}

PTP_IO WINAPI FailCreateThreadpoolIo(HANDLE file, PTP_WIN32_IO_CALLBACK callback, PVOID context,
                                     PTP_CALLBACK_ENVIRON env)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Original<decltype(&CreateThreadpoolIo)>()(file, callback, context, env);
}

BOOL WINAPI FailTrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON env)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return Original<decltype(&TrySubmitThreadpoolCallback)>()(callback, context, env);
}

BOOL WINAPI FailReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    return Original<decltype(&ReadFile)>()(file, buffer, length, read, ov);
}

BOOL WINAPI FailWriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov)
{
    if (g_fault.Hit()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    return Original<decltype(&WriteFile)>()(file, buffer, length, written, ov);
}

struct Target {
    const char* function;
    void* replacement;
};

const Target kTargets[] = {
    {"CreateNamedPipeW", reinterpret_cast<void*>(&FailCreateNamedPipeW)},
    {"ConnectNamedPipe", reinterpret_cast<void*>(&FailConnectNamedPipe)},
    {"CreateThreadpoolIo", reinterpret_cast<void*>(&FailCreateThreadpoolIo)},
    {"TrySubmitThreadpoolCallback", reinterpret_cast<void*>(&FailTrySubmitThreadpoolCallback)},
    {"ReadFile", reinterpret_cast<void*>(&FailReadFile)},
    {"WriteFile", reinterpret_cast<void*>(&FailWriteFile)},
};

// A connection that finds an instance must get its hello: an instance left
// connectable with nobody serving it would leave the client waiting. The
// guard cancels the read long after the core would have answered.
enum class Probe { NoInstance, Served, Unserved };

Probe ProbeOneConnect()
{
    UniqueFile pipe(CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe) {
        return Probe::NoInstance;
    }
    BYTE hello[4] = {};
    DWORD got = 0;
    const bool read = zt::GuardedRead(pipe.get(), hello, sizeof hello, &got, 10000) && got == 4;
    // A pipe closed at once (the instance was given up) is no hang either.
    if (!read) {
        return GetLastError() == ERROR_OPERATION_ABORTED ? Probe::Unserved : Probe::NoInstance;
    }
    return Probe::Served;
}

// Every instance closed (the name is gone) and every handle released.
void ExpectNothingOutlivedTheCore(DWORD baseline, const std::string& where)
{
    UniqueFile left(CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(left) << where << ": an instance outlived the core";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << where;
    DWORD now = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &now));
    EXPECT_LE(now, baseline + 2) << where << ": handles left behind";
}

class ServingCoreSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new zt::TempDataRoot;
        created_ = zt::RunService(L"create " + std::wstring(kKey), root_->widePath()).exitCode == kExitOk;
        provider_ = new zt::LoadedProvider;
    }
    static void TearDownTestSuite()
    {
        delete provider_;
        delete root_;
    }
    void SetUp() override
    {
        ASSERT_TRUE(root_->ok());
        ASSERT_TRUE(created_);
        ASSERT_TRUE(provider_->ok());
    }

    // Serves in a thread of this process until stopped.
    struct Running {
        std::thread thread;
        std::atomic<int> exitCode{-1};
        std::atomic<bool> ended{false};
    };
    static std::unique_ptr<Running> StartServing(const ServeOptions& options)
    {
        auto running = std::make_unique<Running>();
        Running* r = running.get();
        r->thread = std::thread([r, options] {
            r->exitCode.store(Serve(options));
            r->ended.store(true);
        });
        // Serving once an exchange goes through (or it ended).
        for (int i = 0; i < 500 && !r->ended.load(); ++i) {
            if (zt::RunSigningBurst(*provider_, kKey, 1, 1).Clean()) {
                break;
            }
            Sleep(20);
        }
        return running;
    }
    static int StopServing(Running* r)
    {
        DWORD error = 0;
        if (!r->ended.load()) {
            SignalRunningService(&error);
        }
        r->thread.join();
        return r->exitCode.load();
    }

    static zt::TempDataRoot* root_;
    static bool created_;
    static zt::LoadedProvider* provider_;
};

zt::TempDataRoot* ServingCoreSweep::root_ = nullptr;
bool ServingCoreSweep::created_ = false;
zt::LoadedProvider* ServingCoreSweep::provider_ = nullptr;

TEST_F(ServingCoreSweep, EachCallFailingAfterStartLeavesNoInstanceUnservedAndNoHandleBehind)
{
    // A small reserve, so that the burst below makes and retires instances.
    ServeOptions options;
    options.reserve = 4;
    // Once, for what the platform makes on first use (pools, the console handler).
    {
        auto warm = StartServing(options);
        ASSERT_EQ(kExitOk, StopServing(warm.get()));
    }
    DWORD baseline = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &baseline));
    const HMODULE self = GetModuleHandleW(nullptr);
    struct Span {
        unsigned first;
        unsigned count;
    };
    // One call, a few in a row, and every call from the first on.
    const Span spans[] = {{0, 1}, {2, 1}, {0, 3}, {0, 100000}};
    for (const Target& target : kTargets) {
        for (const Span& span : spans) {
            const std::string where = std::string(target.function) + " failing from call " +
                                      std::to_string(span.first) + ", " + std::to_string(span.count) + " times";
            auto running = StartServing(options);
            ASSERT_FALSE(running->ended.load()) << where << ": did not start";
            zt::ImportPatch patch(self, "kernel32.dll", target.function, target.replacement);
            ASSERT_TRUE(patch.active()) << target.function << " is not imported by the serving code";
            g_original = patch.original();
            g_fault.Arm(span.first, span.count);
            // Signers meanwhile: their calls may fail (no retry), never hang.
            const zt::BurstResult during = zt::RunSigningBurst(*provider_, kKey, 8, 3);
            g_fault.armed.store(false);
            EXPECT_EQ(0u, during.wrongSignatures) << where;
            const unsigned failed = g_fault.failed.load();
            // The sweep makes up for what could not be made; give it time to.
            Sleep(300);
            unsigned unserved = 0;
            unsigned served = 0;
            for (int i = 0; i < 6 && !running->ended.load(); ++i) {
                const Probe p = ProbeOneConnect();
                unserved += p == Probe::Unserved ? 1 : 0;
                served += p == Probe::Served ? 1 : 0;
            }
            EXPECT_EQ(0u, unserved) << where << ": a connected client was never served";
            if (!running->ended.load()) {
                // Still serving: then it serves everyone again (as many at
                // once as the reserve holds).
                const zt::BurstResult after = zt::RunSigningBurst(*provider_, kKey, options.reserve - 1, 3);
                EXPECT_TRUE(after.Clean()) << where << ": " << after.Summary();
                EXPECT_GT(served, 0u) << where;
            }
            const int exitCode = StopServing(running.get());
            std::printf("[sweep] %s: %u failed, signers %s, exit %d\n", where.c_str(), failed,
                        during.Summary().c_str(), exitCode);
            // Either a clean stop or the failure exit with its message.
            EXPECT_TRUE(exitCode == kExitOk || exitCode == kExitFailure) << where << ": exit " << exitCode;
            ExpectNothingOutlivedTheCore(baseline, where);
        }
    }
}

}  // namespace

namespace {

TEST_F(ServingCoreSweep, NoInstanceThatCanListenEndsServingWithTheFailureExit)
{
    ServeOptions options;
    options.reserve = 4;
    auto running = StartServing(options);
    ASSERT_FALSE(running->ended.load());
    zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "ConnectNamedPipe",
                          reinterpret_cast<void*>(&FailConnectNamedPipe));
    ASSERT_TRUE(patch.active());
    g_original = patch.original();
    g_fault.Arm(0, 100000);
    // Every instance used once can listen no more, nor can any new one.
    zt::RunSigningBurst(*provider_, kKey, 4, 1);
    for (int i = 0; i < 1000 && !running->ended.load(); ++i) {
        Sleep(20);
    }
    g_fault.armed.store(false);
    EXPECT_TRUE(running->ended.load()) << "still serving with no instance listening";
    EXPECT_EQ(kExitFailure, StopServing(running.get()));
    EXPECT_GT(g_fault.failed.load(), 0u);
}

}  // namespace

namespace {

std::atomic<unsigned> g_writes{0};

BOOL WINAPI CountingWriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov)
{
    ++g_writes;
    return Original<decltype(&WriteFile)>()(file, buffer, length, written, ov);
}

// The hello and the reply envelope each leave in one write: a reply cut
// into fields would cost the client a wait per field.
TEST_F(ServingCoreSweep, HelloAndReplyAreOneWriteEach)
{
    ServeOptions options;
    auto running = StartServing(options);
    ASSERT_FALSE(running->ended.load());
    {
        zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile",
                              reinterpret_cast<void*>(&CountingWriteFile));
        ASSERT_TRUE(patch.active());
        g_original = patch.original();
        g_writes.store(0);
        // One thread: an open and five signatures, six exchanges one after another.
        const zt::BurstResult r = zt::RunSigningBurst(*provider_, kKey, 1, 5);
        EXPECT_TRUE(r.Clean()) << r.Summary();
        // The exchange's log line may still be on its way out; it is not a pipe write.
        EXPECT_EQ(2u * 6, g_writes.load());
    }
    EXPECT_EQ(kExitOk, StopServing(running.get()));
}

}  // namespace

namespace {

// The stop against instances still being made: one made while the core
// stops is never left listening, and a start that fails with a client
// already connected still ends (that client's deadline is kept).
HANDLE g_inCreate = nullptr;  // set when the delayed creation has begun
std::atomic<bool> g_armed{false};
std::atomic<unsigned> g_creations{0};
UniqueFile g_stalled;  // a client that connects and then says nothing

void ConnectStalledClient()
{
    if (!g_stalled) {
        g_stalled.Reset(CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
}

// The first creation fails, leaving the reserve short; the sweep's is held
// up long enough for the stop to come.
HANDLE WINAPI DelayingCreateNamedPipeW(LPCWSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out, DWORD in,
                                       DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    if (g_armed.load() && g_creations.fetch_add(1) == 0) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return INVALID_HANDLE_VALUE;
    }
    if (g_armed.load()) {
        SetEvent(g_inCreate);
        Sleep(1000);
    }
    return Original<decltype(&CreateNamedPipeW)>()(name, open, mode, instances, out, in, timeout, sa);
}

// Every instance after the first ones fails, once a client is connected.
HANDLE WINAPI StallThenFailCreateNamedPipeW(LPCWSTR name, DWORD open, DWORD mode, DWORD instances, DWORD out,
                                            DWORD in, DWORD timeout, LPSECURITY_ATTRIBUTES sa)
{
    if (!g_armed.load() || (open & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0) {
        return Original<decltype(&CreateNamedPipeW)>()(name, open, mode, instances, out, in, timeout, sa);
    }
    ConnectStalledClient();
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return INVALID_HANDLE_VALUE;
}

PTP_TIMER WINAPI StallThenFailCreateThreadpoolTimer(PTP_TIMER_CALLBACK callback, PVOID context,
                                                    PTP_CALLBACK_ENVIRON env)
{
    if (!g_armed.load()) {
        return Original<decltype(&CreateThreadpoolTimer)>()(callback, context, env);
    }
    ConnectStalledClient();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

// Whether the serving thread ended within 10 s. Then the stalled client
// goes, so that a core waiting on it can end too (else it is let go).
bool Ended(std::thread* thread, const std::atomic<bool>& ended)
{
    for (int i = 0; i < 500 && !ended.load(); ++i) {
        Sleep(20);
    }
    const bool inTime = ended.load();
    g_stalled.Reset();
    for (int i = 0; i < 500 && !ended.load(); ++i) {
        Sleep(20);
    }
    ended.load() ? thread->join() : thread->detach();
    return inTime;
}

TEST_F(ServingCoreSweep, InstanceMadeWhileStoppingIsNeverLeftListening)
{
    ServeOptions options;
    options.reserve = 2;
    options.handshakeMs = 1500;
    DWORD baseline = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &baseline));
    const UniqueHandle inCreate(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_inCreate = inCreate.get();
    auto running = StartServing(options);
    ASSERT_FALSE(running->ended.load());
    zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "CreateNamedPipeW",
                          zt::Replacement(&CreateNamedPipeW, &DelayingCreateNamedPipeW));
    ASSERT_TRUE(patch.active());
    g_original = patch.original();
    g_creations.store(0);
    g_armed.store(true);
    // Its connect uses up an instance whose replacement fails; the sweep then
    // makes one, slowly. The stop cancels the listening instance, and the
    // stalled client goes with the last one while the sweep's is being made.
    ConnectStalledClient();
    ASSERT_TRUE(g_stalled);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inCreate.get(), 5000));
    DWORD error = 0;
    ASSERT_TRUE(SignalRunningService(&error)) << error;
    Sleep(100);
    g_stalled.Reset();
    ASSERT_TRUE(Ended(&running->thread, running->ended)) << "the stop hung on an instance made while stopping";
    g_armed.store(false);
    EXPECT_EQ(kExitOk, running->exitCode.load());
    EXPECT_GE(g_creations.load(), 2u) << "the sweep made no instance while stopping";
    ExpectNothingOutlivedTheCore(baseline, "stopped while an instance was being made");
}

TEST_F(ServingCoreSweep, StartThatFailsWithAClientConnectedStillEnds)
{
    const Target points[] = {
        {"CreateNamedPipeW", zt::Replacement(&CreateNamedPipeW, &StallThenFailCreateNamedPipeW)},
        {"CreateThreadpoolTimer", zt::Replacement(&CreateThreadpoolTimer, &StallThenFailCreateThreadpoolTimer)},
    };
    ServeOptions options;
    options.reserve = 4;
    options.handshakeMs = 1000;
    for (const Target& point : points) {
        const std::string where = std::string(point.function) + " failing at start";
        DWORD baseline = 0;
        ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &baseline));
        zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", point.function, point.replacement);
        ASSERT_TRUE(patch.active()) << where;
        g_original = patch.original();
        g_armed.store(true);
        Running r;
        r.thread = std::thread([&r, options] {
            r.exitCode.store(Serve(options));
            r.ended.store(true);
        });
        EXPECT_TRUE(Ended(&r.thread, r.ended)) << where << ": the failed start waited on a connected client for ever";
        g_armed.store(false);
        EXPECT_EQ(kExitFailure, r.exitCode.load()) << where;
        ExpectNothingOutlivedTheCore(baseline, where);
    }
}

}  // namespace
