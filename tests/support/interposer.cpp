#include "interposer.h"

#include "import_patch.h"

#include <dpapi.h>
#include <wincrypt.h>
#include <bcrypt.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <type_traits>
#include <unordered_map>

namespace zt {
namespace {

struct LiveBlock {
    size_t size;
    uint64_t generation;
};

struct FaultPlan {
    uint64_t nthCall = 0;  // 0: none
    bool byFunction = false;
    Fn fn = Fn::Count;
    uint64_t nthOfFn = 0;
    bool andAllLater = false;
    LONG status = static_cast<LONG>(0xC0000001L);  // STATUS_UNSUCCESSFUL
    DWORD lastError = ERROR_GEN_FAILURE;
};

struct State {
    SRWLOCK lock = SRWLOCK_INIT;
    bool active = false;
    void* original[static_cast<int>(Fn::Count)] = {};
    uint64_t generation = 1;
    uint64_t callIndex = 0;
    uint64_t perFn[static_cast<int>(Fn::Count)] = {};
    DWORD delayMs[static_cast<int>(Fn::Count)] = {};
    std::unordered_map<void*, LiveBlock> live;
    std::vector<FreedBlock> unwiped;
    std::vector<std::pair<std::string, std::vector<BYTE>>> watched;
    std::vector<SecretHit> hits;
    std::map<uintptr_t, HandleKind> handles;
    std::vector<CallRecord> calls;
    std::vector<WaitRecord> waits;
    FaultPlan plan;
};

State& S()
{
    static State state;
    return state;
}

class Locked {
public:
    Locked() { AcquireSRWLockExclusive(&S().lock); }
    ~Locked() { ReleaseSRWLockExclusive(&S().lock); }
};

struct Decision {
    bool fail;
    LONG status;
    DWORD lastError;
};

// Counts the call and decides whether it fails.
Decision Enter(Fn fn)
{
    Decision d{false, 0, 0};
    DWORD delay = 0;
    {
        Locked guard;
        State& s = S();
        const uint64_t index = ++s.callIndex;
        const uint64_t nth = ++s.perFn[static_cast<int>(fn)];
        if (s.plan.nthCall != 0 && index == s.plan.nthCall) {
            d.fail = true;
        }
        if (s.plan.byFunction && s.plan.fn == fn &&
            (nth == s.plan.nthOfFn || (s.plan.andAllLater && nth > s.plan.nthOfFn))) {
            d.fail = true;
        }
        d.status = s.plan.status;
        d.lastError = s.plan.lastError;
        s.calls.push_back({fn, d.fail});
        delay = s.delayMs[static_cast<int>(fn)];
    }
    if (delay != 0) {
        Sleep(delay);
    }
    return d;
}

template <typename F>
F Orig(Fn fn)
{
    return reinterpret_cast<F>(S().original[static_cast<int>(fn)]);
}
#define ORIG(name) Orig<decltype(&::name)>(Fn::name)

bool AllZero(const BYTE* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != 0) {
            return false;
        }
    }
    return true;
}

// Called with the lock held, before the block goes back to its allocator.
void InspectFreed(Fn by, const void* block, size_t size)
{
    State& s = S();
    const auto* p = static_cast<const BYTE*>(block);
    if (!AllZero(p, size)) {
        FreedBlock f{by, size, {}, s.callIndex};
        f.head.assign(p, p + std::min<size_t>(size, 16));
        s.unwiped.push_back(std::move(f));
        for (const auto& [label, bytes] : s.watched) {
            if (bytes.empty() || bytes.size() > size) {
                continue;
            }
            if (std::search(p, p + size, bytes.begin(), bytes.end()) != p + size) {
                s.hits.push_back({label, size, s.callIndex});
            }
        }
    }
}

void TrackHandle(uintptr_t h, HandleKind kind)
{
    Locked guard;
    S().handles[h] = kind;
}

void UntrackHandle(uintptr_t h)
{
    Locked guard;
    S().handles.erase(h);
}

// ---- kernel32 ---------------------------------------------------------------

LPVOID WINAPI Hook_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    if (Enter(Fn::HeapAlloc).fail) {
        return nullptr;
    }
    LPVOID p = ORIG(HeapAlloc)(heap, flags, bytes);
    if (p != nullptr) {
        Locked guard;
        S().live[p] = LiveBlock{bytes, S().generation};
    }
    return p;
}

BOOL WINAPI Hook_HeapFree(HANDLE heap, DWORD flags, LPVOID mem)
{
    const Decision d = Enter(Fn::HeapFree);
    if (mem != nullptr) {
        Locked guard;
        State& s = S();
        auto it = s.live.find(mem);
        size_t size = 0;
        if (it != s.live.end()) {
            size = it->second.size;
            s.live.erase(it);
        } else {
            const SIZE_T hs = HeapSize(heap, 0, mem);
            size = hs == static_cast<SIZE_T>(-1) ? 0 : hs;
        }
        InspectFreed(Fn::HeapFree, mem, size);
    }
    const BOOL ok = ORIG(HeapFree)(heap, flags, mem);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ok;
}

HLOCAL WINAPI Hook_LocalFree(HLOCAL mem)
{
    const Decision d = Enter(Fn::LocalFree);
    if (mem != nullptr) {
        const SIZE_T size = LocalSize(mem);
        Locked guard;
        InspectFreed(Fn::LocalFree, mem, size);
    }
    if (mem != nullptr) {
        Locked guard;
        S().live.erase(mem);
    }
    HLOCAL r = ORIG(LocalFree)(mem);
    return d.fail ? mem : r;
}

BOOL WINAPI Hook_CloseHandle(HANDLE h)
{
    const Decision d = Enter(Fn::CloseHandle);
    const BOOL ok = ORIG(CloseHandle)(h);
    if (ok) {
        UntrackHandle(reinterpret_cast<uintptr_t>(h));
    }
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ok;
}

HANDLE WINAPI Hook_CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCWSTR name)
{
    const Decision d = Enter(Fn::CreateEventW);
    if (d.fail) {
        SetLastError(d.lastError);
        return nullptr;
    }
    HANDLE h = ORIG(CreateEventW)(sa, manual, initial, name);
    if (h != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(h), HandleKind::Event);
    }
    return h;
}

HANDLE WINAPI Hook_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE tmpl)
{
    const Decision d = Enter(Fn::CreateFileA);
    if (d.fail) {
        SetLastError(d.lastError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = ORIG(CreateFileA)(name, access, share, sa, disposition, flags, tmpl);
    if (h != INVALID_HANDLE_VALUE) {
        TrackHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    }
    return h;
}

BOOL WINAPI Hook_ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED ov)
{
    const Decision d = Enter(Fn::ReadFile);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(ReadFile)(h, buf, n, read, ov);
}

BOOL WINAPI Hook_WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, LPOVERLAPPED ov)
{
    const Decision d = Enter(Fn::WriteFile);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(WriteFile)(h, buf, n, written, ov);
}

DWORD WINAPI Hook_GetFileSize(HANDLE h, LPDWORD high)
{
    const Decision d = Enter(Fn::GetFileSize);
    if (d.fail) {
        SetLastError(d.lastError);
        return INVALID_FILE_SIZE;
    }
    return ORIG(GetFileSize)(h, high);
}

HANDLE WINAPI Hook_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE tmpl)
{
    const Decision d = Enter(Fn::CreateFileW);
    if (d.fail) {
        SetLastError(d.lastError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = ORIG(CreateFileW)(name, access, share, sa, disposition, flags, tmpl);
    if (h != INVALID_HANDLE_VALUE) {
        TrackHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    }
    return h;
}

DWORD WINAPI Hook_GetFileAttributesW(LPCWSTR path)
{
    const Decision d = Enter(Fn::GetFileAttributesW);
    if (d.fail) {
        SetLastError(d.lastError);
        return INVALID_FILE_ATTRIBUTES;
    }
    return ORIG(GetFileAttributesW)(path);
}

BOOL WINAPI Hook_FlushFileBuffers(HANDLE h)
{
    const Decision d = Enter(Fn::FlushFileBuffers);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(FlushFileBuffers)(h);
}

BOOL WINAPI Hook_MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    const Decision d = Enter(Fn::MoveFileExW);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(MoveFileExW)(from, to, flags);
}

BOOL WINAPI Hook_DeleteFileW(LPCWSTR path)
{
    const Decision d = Enter(Fn::DeleteFileW);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(DeleteFileW)(path);
}

BOOL WINAPI Hook_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa)
{
    const Decision d = Enter(Fn::CreateDirectoryW);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(CreateDirectoryW)(path, sa);
}

DWORD WINAPI Hook_GetEnvironmentVariableW(LPCWSTR name, LPWSTR buf, DWORD size)
{
    const Decision d = Enter(Fn::GetEnvironmentVariableW);
    if (d.fail) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return ORIG(GetEnvironmentVariableW)(name, buf, size);
}

BOOL WINAPI Hook_GetNamedPipeServerProcessId(HANDLE pipe, PULONG pid)
{
    const Decision d = Enter(Fn::GetNamedPipeServerProcessId);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetNamedPipeServerProcessId)(pipe, pid);
}

HANDLE WINAPI Hook_OpenProcess(DWORD access, BOOL inherit, DWORD pid)
{
    const Decision d = Enter(Fn::OpenProcess);
    if (d.fail) {
        SetLastError(d.lastError);
        return nullptr;
    }
    HANDLE h = ORIG(OpenProcess)(access, inherit, pid);
    if (h != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(h), HandleKind::Process);
    }
    return h;
}

// ---- advapi32 ---------------------------------------------------------------

BOOL WINAPI Hook_OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    const Decision d = Enter(Fn::OpenProcessToken);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    const BOOL ok = ORIG(OpenProcessToken)(process, access, token);
    if (ok && token != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*token), HandleKind::Token);
    }
    return ok;
}

BOOL WINAPI Hook_OpenThreadToken(HANDLE thread, DWORD access, BOOL asSelf, PHANDLE token)
{
    const Decision d = Enter(Fn::OpenThreadToken);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    const BOOL ok = ORIG(OpenThreadToken)(thread, access, asSelf, token);
    if (ok && token != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*token), HandleKind::Token);
    }
    return ok;
}

BOOL WINAPI Hook_GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS cls, LPVOID info, DWORD size,
                                     PDWORD needed)
{
    const Decision d = Enter(Fn::GetTokenInformation);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetTokenInformation)(token, cls, info, size, needed);
}

// A failure here answers "not equal".
BOOL WINAPI Hook_EqualSid(PSID a, PSID b)
{
    const Decision d = Enter(Fn::EqualSid);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(EqualSid)(a, b);
}

// Blocks these functions hand out are the caller's to LocalFree: a leak
// of one shows among the live blocks.
void TrackLocalBlock(void* block)
{
    if (block != nullptr) {
        Locked guard;
        S().live[block] = LiveBlock{LocalSize(block), S().generation};
    }
}

BOOL WINAPI Hook_ConvertSidToStringSidW(PSID sid, LPWSTR* text)
{
    const Decision d = Enter(Fn::ConvertSidToStringSidW);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    const BOOL ok = ORIG(ConvertSidToStringSidW)(sid, text);
    if (ok && text != nullptr) {
        TrackLocalBlock(*text);
    }
    return ok;
}

BOOL WINAPI Hook_ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision,
                                                                      PSECURITY_DESCRIPTOR* sd, PULONG size)
{
    const Decision d = Enter(Fn::ConvertStringSecurityDescriptorToSecurityDescriptorW);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    const BOOL ok = ORIG(ConvertStringSecurityDescriptorToSecurityDescriptorW)(sddl, revision, sd, size);
    if (ok && sd != nullptr) {
        TrackLocalBlock(*sd);
    }
    return ok;
}

// These two report failure by their result, an error code.
DWORD WINAPI Hook_GetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                                        PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* sd)
{
    const Decision d = Enter(Fn::GetNamedSecurityInfoW);
    if (d.fail) {
        return d.lastError;
    }
    const DWORD r = ORIG(GetNamedSecurityInfoW)(name, type, info, owner, group, dacl, sacl, sd);
    if (r == ERROR_SUCCESS && sd != nullptr) {
        TrackLocalBlock(*sd);
    }
    return r;
}

DWORD WINAPI Hook_SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                                        PSID group, PACL dacl, PACL sacl)
{
    const Decision d = Enter(Fn::SetNamedSecurityInfoW);
    if (d.fail) {
        return d.lastError;
    }
    return ORIG(SetNamedSecurityInfoW)(name, type, info, owner, group, dacl, sacl);
}

BOOL WINAPI Hook_GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR sd, PSECURITY_DESCRIPTOR_CONTROL control,
                                              LPDWORD revision)
{
    const Decision d = Enter(Fn::GetSecurityDescriptorControl);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetSecurityDescriptorControl)(sd, control, revision);
}

BOOL WINAPI Hook_GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, LPBOOL present, PACL* acl, LPBOOL defaulted)
{
    const Decision d = Enter(Fn::GetSecurityDescriptorDacl);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetSecurityDescriptorDacl)(sd, present, acl, defaulted);
}

BOOL WINAPI Hook_GetSecurityDescriptorSacl(PSECURITY_DESCRIPTOR sd, LPBOOL present, PACL* acl, LPBOOL defaulted)
{
    const Decision d = Enter(Fn::GetSecurityDescriptorSacl);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetSecurityDescriptorSacl)(sd, present, acl, defaulted);
}

BOOL WINAPI Hook_GetAce(PACL acl, DWORD index, LPVOID* ace)
{
    const Decision d = Enter(Fn::GetAce);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(GetAce)(acl, index, ace);
}

DWORD WINAPI Hook_WaitForSingleObject(HANDLE h, DWORD ms)
{
    const Decision d = Enter(Fn::WaitForSingleObject);
    if (d.fail) {
        SetLastError(d.lastError);
        return WAIT_FAILED;
    }
    const DWORD result = ORIG(WaitForSingleObject)(h, ms);
    const DWORD error = GetLastError();
    {
        Locked guard;
        S().waits.push_back({ms, result});
    }
    SetLastError(error);
    return result;
}

BOOL WINAPI Hook_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait)
{
    const Decision d = Enter(Fn::GetOverlappedResult);
    if (d.fail && !wait) {
        SetLastError(d.lastError);
        return FALSE;
    }
    // A waiting call is still made, so the operation has really ended before
    // the caller releases its buffer; only its answer is replaced.
    const BOOL ok = ORIG(GetOverlappedResult)(h, ov, n, wait);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ok;
}

BOOL WINAPI Hook_CancelIo(HANDLE h)
{
    const Decision d = Enter(Fn::CancelIo);
    const BOOL ok = ORIG(CancelIo)(h);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ok;
}

// Counted only: a planned failure is recorded (so sweeps that stop at the
// first run without one go on) but the call still succeeds. Never delayed:
// Enter itself sleeps for delays.
ULONGLONG WINAPI Hook_GetTickCount64()
{
    Enter(Fn::GetTickCount64);
    return ORIG(GetTickCount64)();
}

void WINAPI Hook_Sleep(DWORD ms)
{
    Enter(Fn::Sleep);
    ORIG(Sleep)(ms);
}

// ---- crypt32 ----------------------------------------------------------------

BOOL WINAPI Hook_CryptProtectData(DATA_BLOB* in, LPCWSTR desc, DATA_BLOB* entropy, PVOID reserved,
                                  CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out)
{
    const Decision d = Enter(Fn::CryptProtectData);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(CryptProtectData)(in, desc, entropy, reserved, prompt, flags, out);
}

BOOL WINAPI Hook_CryptUnprotectData(DATA_BLOB* in, LPWSTR* desc, DATA_BLOB* entropy, PVOID reserved,
                                    CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out)
{
    const Decision d = Enter(Fn::CryptUnprotectData);
    if (d.fail) {
        SetLastError(d.lastError);
        return FALSE;
    }
    return ORIG(CryptUnprotectData)(in, desc, entropy, reserved, prompt, flags, out);
}

// ---- bcrypt -----------------------------------------------------------------

NTSTATUS WINAPI Hook_BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* ph, LPCWSTR alg, LPCWSTR impl, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptOpenAlgorithmProvider);
    if (d.fail) {
        return d.status;
    }
    const NTSTATUS st = ORIG(BCryptOpenAlgorithmProvider)(ph, alg, impl, flags);
    if (st >= 0 && ph != nullptr && *ph != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*ph), HandleKind::Algorithm);
    }
    return st;
}

NTSTATUS WINAPI Hook_BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE h, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptCloseAlgorithmProvider);
    const NTSTATUS st = ORIG(BCryptCloseAlgorithmProvider)(h, flags);
    if (st >= 0) {
        UntrackHandle(reinterpret_cast<uintptr_t>(h));
    }
    return d.fail ? d.status : st;
}

NTSTATUS WINAPI Hook_BCryptGetProperty(BCRYPT_HANDLE h, LPCWSTR prop, PUCHAR out, ULONG n, ULONG* result, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptGetProperty);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptGetProperty)(h, prop, out, n, result, flags);
}

NTSTATUS WINAPI Hook_BCryptSetProperty(BCRYPT_HANDLE h, LPCWSTR prop, PUCHAR in, ULONG n, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptSetProperty);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptSetProperty)(h, prop, in, n, flags);
}

NTSTATUS WINAPI Hook_BCryptImportKeyPair(BCRYPT_ALG_HANDLE alg, BCRYPT_KEY_HANDLE imp, LPCWSTR type,
                                         BCRYPT_KEY_HANDLE* ph, PUCHAR in, ULONG n, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptImportKeyPair);
    if (d.fail) {
        return d.status;
    }
    const NTSTATUS st = ORIG(BCryptImportKeyPair)(alg, imp, type, ph, in, n, flags);
    if (st >= 0 && ph != nullptr && *ph != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*ph), HandleKind::Key);
    }
    return st;
}

NTSTATUS WINAPI Hook_BCryptExportKey(BCRYPT_KEY_HANDLE h, BCRYPT_KEY_HANDLE exp, LPCWSTR type, PUCHAR out,
                                     ULONG n, ULONG* result, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptExportKey);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptExportKey)(h, exp, type, out, n, result, flags);
}

NTSTATUS WINAPI Hook_BCryptDestroyKey(BCRYPT_KEY_HANDLE h)
{
    const Decision d = Enter(Fn::BCryptDestroyKey);
    const NTSTATUS st = ORIG(BCryptDestroyKey)(h);
    if (st >= 0) {
        UntrackHandle(reinterpret_cast<uintptr_t>(h));
    }
    return d.fail ? d.status : st;
}

NTSTATUS WINAPI Hook_BCryptEncrypt(BCRYPT_KEY_HANDLE h, PUCHAR in, ULONG n, VOID* pad, PUCHAR iv, ULONG ivn,
                                   PUCHAR out, ULONG outn, ULONG* result, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptEncrypt);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptEncrypt)(h, in, n, pad, iv, ivn, out, outn, result, flags);
}

NTSTATUS WINAPI Hook_BCryptDecrypt(BCRYPT_KEY_HANDLE h, PUCHAR in, ULONG n, VOID* pad, PUCHAR iv, ULONG ivn,
                                   PUCHAR out, ULONG outn, ULONG* result, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptDecrypt);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptDecrypt)(h, in, n, pad, iv, ivn, out, outn, result, flags);
}

NTSTATUS WINAPI Hook_BCryptVerifySignature(BCRYPT_KEY_HANDLE h, VOID* pad, PUCHAR hash, ULONG hn, PUCHAR sig,
                                           ULONG sn, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptVerifySignature);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptVerifySignature)(h, pad, hash, hn, sig, sn, flags);
}

NTSTATUS WINAPI Hook_BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE alg, BCRYPT_KEY_HANDLE* ph, PUCHAR obj,
                                                ULONG objn, PUCHAR secret, ULONG secretn, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptGenerateSymmetricKey);
    if (d.fail) {
        return d.status;
    }
    const NTSTATUS st = ORIG(BCryptGenerateSymmetricKey)(alg, ph, obj, objn, secret, secretn, flags);
    if (st >= 0 && ph != nullptr && *ph != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*ph), HandleKind::Key);
    }
    return st;
}

NTSTATUS WINAPI Hook_BCryptCreateHash(BCRYPT_ALG_HANDLE alg, BCRYPT_HASH_HANDLE* ph, PUCHAR obj, ULONG objn,
                                      PUCHAR secret, ULONG secretn, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptCreateHash);
    if (d.fail) {
        return d.status;
    }
    const NTSTATUS st = ORIG(BCryptCreateHash)(alg, ph, obj, objn, secret, secretn, flags);
    if (st >= 0 && ph != nullptr && *ph != nullptr) {
        TrackHandle(reinterpret_cast<uintptr_t>(*ph), HandleKind::Hash);
    }
    return st;
}

NTSTATUS WINAPI Hook_BCryptHashData(BCRYPT_HASH_HANDLE h, PUCHAR in, ULONG n, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptHashData);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptHashData)(h, in, n, flags);
}

NTSTATUS WINAPI Hook_BCryptFinishHash(BCRYPT_HASH_HANDLE h, PUCHAR out, ULONG n, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptFinishHash);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptFinishHash)(h, out, n, flags);
}

NTSTATUS WINAPI Hook_BCryptDestroyHash(BCRYPT_HASH_HANDLE h)
{
    const Decision d = Enter(Fn::BCryptDestroyHash);
    const NTSTATUS st = ORIG(BCryptDestroyHash)(h);
    if (st >= 0) {
        UntrackHandle(reinterpret_cast<uintptr_t>(h));
    }
    return d.fail ? d.status : st;
}

NTSTATUS WINAPI Hook_BCryptGenRandom(BCRYPT_ALG_HANDLE alg, PUCHAR out, ULONG n, ULONG flags)
{
    const Decision d = Enter(Fn::BCryptGenRandom);
    if (d.fail) {
        return d.status;
    }
    return ORIG(BCryptGenRandom)(alg, out, n, flags);
}

// Each hook has exactly the type of the function it stands in for, calling
// convention included: a 32-bit WINAPI function pops its own arguments, so a
// hook of another convention would unbalance the caller's stack.
#define ZT_SAME_TYPE(name, dll) \
    static_assert(std::is_same_v<decltype(&Hook_##name), decltype(&::name)>, "type of Hook_" #name);
ZT_HOOKED_FUNCTIONS(ZT_SAME_TYPE)
#undef ZT_SAME_TYPE

struct HookEntry {
    const char* dll;
    const char* name;
    void* hook;
};

const HookEntry kHooks[] = {
#define ZT_ENTRY(name, dll) {dll, #name, reinterpret_cast<void*>(&Hook_##name)},
    ZT_HOOKED_FUNCTIONS(ZT_ENTRY)
#undef ZT_ENTRY
};
static_assert(sizeof(kHooks) / sizeof(kHooks[0]) == static_cast<size_t>(Fn::Count));

}  // namespace

const char* FnName(Fn fn)
{
    const int i = static_cast<int>(fn);
    return i >= 0 && i < static_cast<int>(Fn::Count) ? kHooks[i].name : "?";
}

Interposer::Interposer(HMODULE module) : module_(module)
{
    State& s = S();
    if (s.active) {
        std::fprintf(stderr, "zt::Interposer: only one may be active\n");
        std::abort();
    }
    s.active = true;
    Reset();
    for (int i = 0; i < static_cast<int>(Fn::Count); ++i) {
        void** slot = FindImportSlot(module, kHooks[i].dll, kHooks[i].name);
        s.original[i] = nullptr;
        if (slot != nullptr) {
            s.original[i] = *slot;
            slots_.push_back(slot);
            saved_.push_back(*slot);
            WriteSlot(slot, kHooks[i].hook);
        }
    }
}

Interposer::~Interposer()
{
    // The module may have been unloaded by the test; its slots are gone then.
    HMODULE still = nullptr;
    const bool loaded = !slots_.empty() &&
                        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           reinterpret_cast<LPCWSTR>(slots_[0]), &still) &&
                        still == module_;
    for (size_t i = 0; loaded && i < slots_.size(); ++i) {
        WriteSlot(slots_[i], saved_[i]);
    }
    Locked guard;
    S().active = false;
    S().live.clear();
    S().handles.clear();
}

void Interposer::Reset()
{
    Locked guard;
    State& s = S();
    ++s.generation;
    s.callIndex = 0;
    std::fill(std::begin(s.perFn), std::end(s.perFn), 0);
    std::fill(std::begin(s.delayMs), std::end(s.delayMs), 0);
    s.unwiped.clear();
    s.hits.clear();
    s.watched.clear();
    s.calls.clear();
    s.waits.clear();
    s.handles.clear();
    s.plan = FaultPlan{};
}

size_t Interposer::LiveBlocks() const
{
    Locked guard;
    size_t n = 0;
    for (const auto& [p, b] : S().live) {
        if (b.generation == S().generation) {
            ++n;
        }
    }
    return n;
}

std::vector<FreedBlock> Interposer::UnwipedFrees() const
{
    Locked guard;
    return S().unwiped;
}

void Interposer::WatchSecret(const std::string& label, const void* bytes, size_t n)
{
    Locked guard;
    const auto* p = static_cast<const BYTE*>(bytes);
    S().watched.emplace_back(label, std::vector<BYTE>(p, p + n));
}

std::vector<SecretHit> Interposer::SecretHits() const
{
    Locked guard;
    return S().hits;
}

size_t Interposer::OpenHandles(HandleKind kind) const
{
    Locked guard;
    return static_cast<size_t>(std::count_if(S().handles.begin(), S().handles.end(),
                                             [kind](const auto& e) { return e.second == kind; }));
}

size_t Interposer::OpenHandlesTotal() const
{
    Locked guard;
    return S().handles.size();
}

std::vector<CallRecord> Interposer::Calls() const
{
    Locked guard;
    return S().calls;
}

std::vector<WaitRecord> Interposer::Waits() const
{
    Locked guard;
    return S().waits;
}

size_t Interposer::CallCount(Fn fn) const
{
    Locked guard;
    return S().perFn[static_cast<int>(fn)];
}

void Interposer::FailNthCall(uint64_t n)
{
    Locked guard;
    S().plan.nthCall = n;
}

void Interposer::FailNthCallOf(Fn fn, uint64_t n, bool andAllLater)
{
    Locked guard;
    S().plan.byFunction = true;
    S().plan.fn = fn;
    S().plan.nthOfFn = n;
    S().plan.andAllLater = andAllLater;
}

void Interposer::SetFailureStatus(LONG ntstatus)
{
    Locked guard;
    S().plan.status = ntstatus;
}

void Interposer::SetFailureLastError(DWORD error)
{
    Locked guard;
    S().plan.lastError = error;
}

void Interposer::SetDelay(Fn fn, DWORD ms)
{
    Locked guard;
    S().delayMs[static_cast<int>(fn)] = ms;
}

std::string DescribeUnwiped(const std::vector<FreedBlock>& blocks)
{
    std::string out;
    char line[160];
    for (const FreedBlock& b : blocks) {
        std::snprintf(line, sizeof line, "%s of %zu bytes at call %llu, starting", FnName(b.by), b.size,
                      static_cast<unsigned long long>(b.call));
        out += line;
        for (BYTE c : b.head) {
            std::snprintf(line, sizeof line, " %02x", c);
            out += line;
        }
        out += "\n";
    }
    return out;
}

}  // namespace zt
