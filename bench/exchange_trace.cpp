// Item 3: where the time of one exchange goes. The shipped DLL is timed from
// the outside: its imports that bound each step are patched with stand-ins
// that record performance-counter stamps around the real call.
#include "bench.h"
#include "import_patch.h"

#include <dpapi.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

namespace bench {

namespace {

enum class Kind : BYTE {
    PipeOpen, FileOpen, Close, Event, Read, Write, Result, Unprotect, CreateDir, AlgOpen, AlgClose
};

struct Stamp {
    Kind kind;
    LONGLONG t0;
    LONGLONG t1;
    ULONG_PTR handle;
};

constexpr size_t kMaxStamps = 512;
Stamp g_stamps[kMaxStamps];
size_t g_count = 0;
zt::ImportPatch* g_patches[16];  // indexed by Slot

LONGLONG Ticks()
{
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

// Leaves the last error as the hooked call set it: the provider reads it next.
void Record(Kind kind, LONGLONG t0, ULONG_PTR handle)
{
    const DWORD error = GetLastError();
    if (g_count < kMaxStamps) {
        g_stamps[g_count++] = {kind, t0, Ticks(), handle};
    }
    SetLastError(error);
}

template <typename F>
F Original(int slot)
{
    return g_patches[slot]->original_as<F>();
}

enum Slot {
    sCreateFileA, sCloseHandle, sCreateEventW, sReadFile, sWriteFile, sResult, sUnprotect, sCreateDir, sOpen, sClose,
    sCreateFileW
};

HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE tmpl)
{
    const LONGLONG t0 = Ticks();
    HANDLE h = Original<decltype(&CreateFileA)>(sCreateFileA)(name, access, share, sa, disposition, flags, tmpl);
    const bool pipe = name != nullptr && std::strncmp(name, "\\\\.\\pipe\\", 9) == 0;
    Record(pipe ? Kind::PipeOpen : Kind::FileOpen, t0, reinterpret_cast<ULONG_PTR>(h));
    return h;
}

// The secret file (the pipe is opened with CreateFileA).
HANDLE WINAPI HookCreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                              DWORD flags, HANDLE tmpl)
{
    const LONGLONG t0 = Ticks();
    HANDLE h = Original<decltype(&CreateFileW)>(sCreateFileW)(name, access, share, sa, disposition, flags, tmpl);
    Record(Kind::FileOpen, t0, reinterpret_cast<ULONG_PTR>(h));
    return h;
}

BOOL WINAPI HookCloseHandle(HANDLE h)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&CloseHandle)>(sCloseHandle)(h);
    Record(Kind::Close, t0, reinterpret_cast<ULONG_PTR>(h));
    return ok;
}

HANDLE WINAPI HookCreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    const LONGLONG t0 = Ticks();
    HANDLE h = Original<decltype(&CreateEventW)>(sCreateEventW)(sa, manual, initial, name);
    Record(Kind::Event, t0, reinterpret_cast<ULONG_PTR>(h));
    return h;
}

BOOL WINAPI HookReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD got, LPOVERLAPPED ov)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&ReadFile)>(sReadFile)(h, buffer, length, got, ov);
    Record(Kind::Read, t0, reinterpret_cast<ULONG_PTR>(h));
    return ok;
}

BOOL WINAPI HookWriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD put, LPOVERLAPPED ov)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&WriteFile)>(sWriteFile)(h, buffer, length, put, ov);
    Record(Kind::Write, t0, reinterpret_cast<ULONG_PTR>(h));
    return ok;
}

BOOL WINAPI HookGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&GetOverlappedResult)>(sResult)(h, ov, n, wait);
    Record(Kind::Result, t0, reinterpret_cast<ULONG_PTR>(h));
    return ok;
}

BOOL WINAPI HookUnprotect(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy, PVOID reserved,
                          CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&CryptUnprotectData)>(sUnprotect)(in, description, entropy, reserved, prompt,
                                                                        flags, out);
    Record(Kind::Unprotect, t0, 0);
    return ok;
}

BOOL WINAPI HookCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa)
{
    const LONGLONG t0 = Ticks();
    const BOOL ok = Original<decltype(&CreateDirectoryW)>(sCreateDir)(path, sa);
    Record(Kind::CreateDir, t0, 0);
    return ok;
}

NTSTATUS WINAPI HookOpen(BCRYPT_ALG_HANDLE* alg, LPCWSTR id, LPCWSTR impl, ULONG flags)
{
    const LONGLONG t0 = Ticks();
    const NTSTATUS st = Original<decltype(&BCryptOpenAlgorithmProvider)>(sOpen)(alg, id, impl, flags);
    Record(Kind::AlgOpen, t0, id != nullptr && id[0] == L'A' ? 'A' : 'S');
    return st;
}

NTSTATUS WINAPI HookClose(BCRYPT_ALG_HANDLE alg, ULONG flags)
{
    const LONGLONG t0 = Ticks();
    const NTSTATUS st = Original<decltype(&BCryptCloseAlgorithmProvider)>(sClose)(alg, flags);
    Record(Kind::AlgClose, t0, 0);
    return st;
}

struct Io {
    LONGLONG start;
    LONGLONG end;
};

// Cuts one recorded exchange into its steps; false if it does not have the
// shape of a complete exchange.
bool Segment(LONGLONG begin, LONGLONG end, double perUs, std::vector<std::vector<double>>* steps,
             std::vector<std::vector<double>>* secretParts)
{
    const Stamp* pipeOpen = nullptr;
    const Stamp* fileOpen = nullptr;
    const Stamp* fileClose = nullptr;
    const Stamp* unprotect = nullptr;
    const Stamp* createDir = nullptr;
    const Stamp* pipeClose = nullptr;
    std::vector<Io> ios;
    std::vector<const Stamp*> algCloses;
    std::vector<const Stamp*> algOpens;
    LONGLONG eventTicks = 0;
    for (size_t i = 0; i < g_count; ++i) {
        const Stamp& s = g_stamps[i];
        switch (s.kind) {
        case Kind::PipeOpen: pipeOpen = &s; break;
        case Kind::FileOpen: fileOpen = &s; break;
        case Kind::Unprotect: unprotect = &s; break;
        case Kind::CreateDir: createDir = &s; break;
        case Kind::AlgOpen: algOpens.push_back(&s); break;
        case Kind::AlgClose: algCloses.push_back(&s); break;
        case Kind::Event:
            // Events made for the transfers: their making and closing.
            for (size_t j = i + 1; j < g_count; ++j) {
                if (g_stamps[j].kind == Kind::Close && g_stamps[j].handle == s.handle) {
                    eventTicks += (s.t1 - s.t0) + (g_stamps[j].t1 - g_stamps[j].t0);
                    break;
                }
            }
            break;
        case Kind::Read:
        case Kind::Write:
            // One transfer on the pipe: from ReadFile/WriteFile to the
            // GetOverlappedResult that collects it (waiting included).
            if (pipeOpen != nullptr && s.handle == pipeOpen->handle) {
                for (size_t j = i + 1; j < g_count; ++j) {
                    if (g_stamps[j].kind == Kind::Result && g_stamps[j].handle == s.handle) {
                        ios.push_back({s.t0, g_stamps[j].t1});
                        break;
                    }
                }
            }
            break;
        case Kind::Close:
            // Handle values are reused: the first close after the open is its own.
            if (pipeOpen != nullptr && pipeClose == nullptr && s.handle == pipeOpen->handle) {
                pipeClose = &s;
            }
            if (fileOpen != nullptr && fileClose == nullptr && s.handle == fileOpen->handle) {
                fileClose = &s;
            }
            break;
        default: break;
        }
    }
    if (pipeOpen == nullptr || pipeClose == nullptr || fileOpen == nullptr || fileClose == nullptr ||
        unprotect == nullptr || createDir == nullptr || ios.size() != 19 || algOpens.size() != 7 ||
        algCloses.size() != 7) {
        return false;
    }
    const LONGLONG cut[] = {
        begin,
        pipeOpen->t0,          // entry checks, request payload
        pipeOpen->t1,          // connect
        ios[2].end,            // hello, nonce length, nonce (includes the service's accept)
        ios[4].end,            // client nonce drawn and written
        algOpens[0]->t0,       // LoadPipeSecret
        algCloses[0]->t1,      // MAC key derivation
        algCloses[1]->t1,      // encryption key derivation
        ios[6].end,            // proof HMAC and its two writes
        algCloses[3]->t1,      // request IV and AES encryption
        algCloses[4]->t1,      // request MAC
        ios[11].end,           // first five envelope writes
        ios[13].end,           // the MAC's write and the first reply read: the service's work
        ios[18].end,           // five more reply reads
        algCloses[5]->t1,      // reply MAC check
        algCloses[6]->t1,      // reply decryption
        end,                   // close, copy out, wipe
    };
    constexpr size_t kSteps = sizeof(cut) / sizeof(cut[0]) - 1;
    steps->resize(kSteps + 1);
    for (size_t i = 0; i < kSteps; ++i) {
        if (cut[i + 1] < cut[i]) {
            return false;
        }
        (*steps)[i].push_back(static_cast<double>(cut[i + 1] - cut[i]) / perUs);
    }
    (*steps)[kSteps].push_back(static_cast<double>(end - begin) / perUs);
    secretParts->resize(5);
    (*secretParts)[4].push_back(static_cast<double>(eventTicks) / perUs);
    (*secretParts)[0].push_back(static_cast<double>(createDir->t1 - createDir->t0) / perUs);
    // The file stays open while its content is unprotected.
    (*secretParts)[1].push_back(static_cast<double>(fileClose->t1 - fileOpen->t0 - (unprotect->t1 - unprotect->t0)) /
                                perUs);
    (*secretParts)[2].push_back(static_cast<double>(unprotect->t1 - unprotect->t0) / perUs);
    (*secretParts)[3].push_back(static_cast<double>(cut[5] - cut[4]) / perUs -
                                (*secretParts)[0].back() - (*secretParts)[1].back() - (*secretParts)[2].back());
    return true;
}

const char* const kStepNames[] = {
    "entry checks and request payload",
    "connect (CreateFileA on the pipe)",
    "server's user check; handshake reads: hello, nonce length, nonce",
    "client nonce: draw and 2 writes",
    "LoadPipeSecret",
    "MAC key derivation (HMAC)",
    "encryption key derivation (HMAC)",
    "proof: HMAC and 2 writes",
    "request: IV and AES-CBC encryption",
    "request MAC (HMAC)",
    "request envelope: first 5 writes",
    "last request write + first reply read (the service's work)",
    "reply: 5 further reads",
    "reply MAC check (HMAC)",
    "reply AES-CBC decryption and checks",
    "close pipe, signature check, copy reply, wipe",
};

const char* const kSecretParts[] = {
    "CreateDirectoryW of the folder",
    "file open, size, read, close",
    "CryptUnprotectData",
    "rest (path, copies, wipes, frees)",
    "making and closing the transfers' events",
};

}  // namespace

bool RunBreakdown(const Settings& s, const Provider& pv, Results* r)
{
    const auto* t = pv.t;
    NCRYPT_KEY_HANDLE k = pv.Open(KeyName(2048));
    if (k == 0) {
        return false;
    }
    zt::ImportPatch pCreateFile(pv.module, "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(HookCreateFileA));
    zt::ImportPatch pClose(pv.module, "kernel32.dll", "CloseHandle", reinterpret_cast<void*>(HookCloseHandle));
    zt::ImportPatch pEvent(pv.module, "kernel32.dll", "CreateEventW", reinterpret_cast<void*>(HookCreateEventW));
    zt::ImportPatch pRead(pv.module, "kernel32.dll", "ReadFile", reinterpret_cast<void*>(HookReadFile));
    zt::ImportPatch pWrite(pv.module, "kernel32.dll", "WriteFile", reinterpret_cast<void*>(HookWriteFile));
    zt::ImportPatch pResult(pv.module, "kernel32.dll", "GetOverlappedResult",
                            reinterpret_cast<void*>(HookGetOverlappedResult));
    zt::ImportPatch pUnprotect(pv.module, "crypt32.dll", "CryptUnprotectData",
                               reinterpret_cast<void*>(HookUnprotect));
    zt::ImportPatch pDir(pv.module, "kernel32.dll", "CreateDirectoryW", reinterpret_cast<void*>(HookCreateDirectoryW));
    zt::ImportPatch pOpen(pv.module, "bcrypt.dll", "BCryptOpenAlgorithmProvider", reinterpret_cast<void*>(HookOpen));
    zt::ImportPatch pAlgClose(pv.module, "bcrypt.dll", "BCryptCloseAlgorithmProvider",
                              reinterpret_cast<void*>(HookClose));
    zt::ImportPatch pCreateFileW(pv.module, "kernel32.dll", "CreateFileW", reinterpret_cast<void*>(HookCreateFileW));
    zt::ImportPatch* all[] = {&pCreateFile, &pClose, &pEvent, &pRead, &pWrite, &pResult, &pUnprotect, &pDir, &pOpen, &pAlgClose,
                              &pCreateFileW};
    for (size_t i = 0; i < sizeof(all) / sizeof(all[0]); ++i) {
        if (!all[i]->active()) {
            std::printf("breakdown: import %zu of the DLL not found\n", i);
            t->FreeKey(pv.prov, k);
            return false;
        }
        g_patches[i] = all[i];
    }

    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    const double perUs = static_cast<double>(f.QuadPart) / 1e6;
    std::vector<std::vector<double>> steps;
    std::vector<std::vector<double>> secretParts;
    const int reps = s.quick ? 21 : 401;
    int malformed = 0;
    // OpenKey's exchange has the same shape, and the service does no
    // private-key work for it: its reply wait, alternated with SignHash's,
    // shows what the service adds besides the private-key operation.
    std::vector<std::vector<double>> openSteps;
    std::vector<std::vector<double>> openParts;
    for (int i = 0; i < reps + 3; ++i) {
        for (int side = 0; side < 2; ++side) {
            const bool sign = (side == 0) == (i % 2 == 0);
            g_count = 0;
            NCRYPT_KEY_HANDLE opened = 0;
            const LONGLONG begin = Ticks();
            const SECURITY_STATUS st =
                sign ? pv.SignFixedHash(k) : t->OpenKey(pv.prov, &opened, KeyName(2048), 0, 0);
            const LONGLONG end = Ticks();
            if (st != 0) {
                std::printf("breakdown: %s failed 0x%08lx\n", sign ? "SignHash" : "OpenKey",
                            static_cast<unsigned long>(st));
                t->FreeKey(pv.prov, k);
                return false;
            }
            if (i >= 3 && !Segment(begin, end, perUs, sign ? &steps : &openSteps, sign ? &secretParts : &openParts)) {
                ++malformed;
            }
            if (!sign) {
                g_count = kMaxStamps;  // FreeKey is not part of the trace
                t->FreeKey(pv.prov, opened);
            }
        }
    }
    t->FreeKey(pv.prov, k);
    if (steps.empty() || malformed > reps / 5) {
        std::printf("breakdown: %d of %d traces did not have the shape of an exchange\n", malformed, reps);
        return false;
    }
    for (size_t i = 0; i + 1 < steps.size(); ++i) {
        r->steps.push_back({kStepNames[i], Summarize(steps[i])});
        std::printf("step %-45s %8.1f us\n", kStepNames[i], r->steps.back().time.median);
    }
    r->tracedTotal = Summarize(steps.back());
    for (size_t i = 0; i < secretParts.size(); ++i) {
        (i < 4 ? r->secretParts : r->ioParts).push_back({kSecretParts[i], Summarize(secretParts[i])});
    }
    std::printf("step total (traced) %8.1f us\n", r->tracedTotal.median);
    if (openSteps.size() > 12) {
        r->openKeyReplyWait = Summarize(openSteps[11]);
        r->openKeyTotal = Summarize(openSteps.back());
        std::printf("OpenKey: reply wait %8.1f us, total %8.1f us\n", r->openKeyReplyWait.median,
                    r->openKeyTotal.median);
    }
    return true;
}

}  // namespace bench
