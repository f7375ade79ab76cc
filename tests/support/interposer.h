// Import interposition for the provider DLL (or any module): records heap
// use and handles, checks that freed blocks were wiped, fails chosen calls.
//
// One Interposer may be active at a time. Its hooks are plain functions with
// process-wide state, so they also see calls made on the provider's behalf
// from other threads and from DllMain.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zt {

// Every import the interposer can hook. Add new imports of the provider here
// and in the table in interposer.cpp.
#define ZT_HOOKED_FUNCTIONS(X)                                   \
    X(HeapAlloc, "kernel32.dll")                                 \
    X(HeapFree, "kernel32.dll")                                  \
    X(LocalFree, "kernel32.dll")                                 \
    X(CloseHandle, "kernel32.dll")                               \
    X(CreateEventW, "kernel32.dll")                              \
    X(CreateFileA, "kernel32.dll")                               \
    X(CreateFileW, "kernel32.dll")                               \
    X(ReadFile, "kernel32.dll")                                  \
    X(WriteFile, "kernel32.dll")                                 \
    X(GetFileSize, "kernel32.dll")                               \
    X(GetFileAttributesW, "kernel32.dll")                        \
    X(FlushFileBuffers, "kernel32.dll")                          \
    X(MoveFileExW, "kernel32.dll")                               \
    X(DeleteFileW, "kernel32.dll")                               \
    X(CreateDirectoryW, "kernel32.dll")                          \
    X(GetEnvironmentVariableW, "kernel32.dll")                   \
    X(GetNamedPipeServerProcessId, "kernel32.dll")               \
    X(OpenProcess, "kernel32.dll")                               \
    X(OpenProcessToken, "advapi32.dll")                          \
    X(OpenThreadToken, "advapi32.dll")                           \
    X(GetTokenInformation, "advapi32.dll")                       \
    X(EqualSid, "advapi32.dll")                                  \
    X(ConvertSidToStringSidW, "advapi32.dll")                    \
    X(ConvertStringSecurityDescriptorToSecurityDescriptorW, "advapi32.dll") \
    X(GetNamedSecurityInfoW, "advapi32.dll")                     \
    X(SetNamedSecurityInfoW, "advapi32.dll")                     \
    X(GetSecurityDescriptorControl, "advapi32.dll")              \
    X(GetSecurityDescriptorDacl, "advapi32.dll")                 \
    X(GetSecurityDescriptorSacl, "advapi32.dll")                 \
    X(GetAce, "advapi32.dll")                                    \
    X(WaitForSingleObject, "kernel32.dll")                       \
    X(GetOverlappedResult, "kernel32.dll")                       \
    X(CancelIo, "kernel32.dll")                                  \
    X(GetTickCount64, "kernel32.dll")                            \
    X(Sleep, "kernel32.dll")                                     \
    X(CryptProtectData, "crypt32.dll")                           \
    X(CryptUnprotectData, "crypt32.dll")                         \
    X(BCryptOpenAlgorithmProvider, "bcrypt.dll")                 \
    X(BCryptCloseAlgorithmProvider, "bcrypt.dll")                \
    X(BCryptGetProperty, "bcrypt.dll")                           \
    X(BCryptSetProperty, "bcrypt.dll")                           \
    X(BCryptImportKeyPair, "bcrypt.dll")                         \
    X(BCryptExportKey, "bcrypt.dll")                             \
    X(BCryptDestroyKey, "bcrypt.dll")                            \
    X(BCryptEncrypt, "bcrypt.dll")                               \
    X(BCryptDecrypt, "bcrypt.dll")                               \
    X(BCryptVerifySignature, "bcrypt.dll")                       \
    X(BCryptGenerateSymmetricKey, "bcrypt.dll")                  \
    X(BCryptCreateHash, "bcrypt.dll")                            \
    X(BCryptHashData, "bcrypt.dll")                              \
    X(BCryptFinishHash, "bcrypt.dll")                            \
    X(BCryptDestroyHash, "bcrypt.dll")                           \
    X(BCryptGenRandom, "bcrypt.dll")

enum class Fn : int {
#define ZT_ENUM(name, dll) name,
    ZT_HOOKED_FUNCTIONS(ZT_ENUM)
#undef ZT_ENUM
    Count
};

const char* FnName(Fn fn);

enum class HandleKind { Event, File, Algorithm, Key, Hash, Process, Token };

struct FreedBlock {
    Fn by;             // HeapFree or LocalFree
    size_t size;
    std::vector<BYTE> head;  // first bytes, for the failure message
    uint64_t call;     // global call index of the free
};

struct SecretHit {
    std::string label;  // what was found
    size_t size;        // size of the freed block that still held it
    uint64_t call;
};

struct CallRecord {
    Fn fn;
    bool failed;
};

// One WaitForSingleObject: the bound asked for and what came back.
struct WaitRecord {
    DWORD timeoutMs;
    DWORD result;
};

class Interposer {
public:
    // Hooks every listed import that `module` has.
    explicit Interposer(HMODULE module);
    ~Interposer();
    Interposer(const Interposer&) = delete;
    Interposer& operator=(const Interposer&) = delete;

    // Forgets all records and counters, and the fault plan.
    void Reset();

    // Heap blocks allocated through the hooks and not yet freed, and the
    // LocalAlloc blocks that the SID and security descriptor functions made.
    size_t LiveBlocks() const;
    // Freed blocks that were not all zero.
    std::vector<FreedBlock> UnwipedFrees() const;
    // Freed blocks that still contained a watched byte string.
    void WatchSecret(const std::string& label, const void* bytes, size_t n);
    std::vector<SecretHit> SecretHits() const;

    // Handles opened through the hooks and not yet closed.
    size_t OpenHandles(HandleKind kind) const;
    size_t OpenHandlesTotal() const;

    // Calls seen since Reset, in order.
    std::vector<CallRecord> Calls() const;
    size_t CallCount(Fn fn) const;
    // WaitForSingleObject calls since Reset, in order, with their results:
    // whether a bound ran out is behaviour a test can check without a clock.
    std::vector<WaitRecord> Waits() const;

    // Fails the call with this 1-based index among all hooked calls.
    void FailNthCall(uint64_t n);
    // Fails the nth call (1-based) of one function; count 0 fails every call from n on.
    void FailNthCallOf(Fn fn, uint64_t n, bool andAllLater = false);
    // What an injected failure reports.
    void SetFailureStatus(LONG ntstatus) ;
    void SetFailureLastError(DWORD error);
    // Holds each call of `fn` this many milliseconds before forwarding it
    // (to widen races in tests). Not for Sleep, which the delay itself uses.
    void SetDelay(Fn fn, DWORD ms);

    HMODULE module() const { return module_; }

private:
    HMODULE module_;
    std::vector<void**> slots_;
    std::vector<void*> saved_;
};

std::string DescribeUnwiped(const std::vector<FreedBlock>& blocks);

}  // namespace zt
