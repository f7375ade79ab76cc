// Failure sweep of the pipe secret store (the provider's static library, with
// this executable's own imports hooked) on every state the secret file can
// be in (a stale temporary file from a creator that died included): each
// hooked call fails in turn. The status must fit the failure,
// the out pointers stay empty on failure, nothing leaks, every freed block is
// zero, every file handle is closed, an existing file is never changed, and
// a store that had no usable file still works on the next call.
#include "data_root.h"
#include "folder_security.h"
#include "interposer.h"
#include "ksp_status.h"
#include "pipe_secret.h"
#include "robust_support.h"
#include "byte_pattern.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> Pattern(size_t n, BYTE first)
{
    return zt::BytePattern(n, first, 13);
}

struct FileState {
    const char* name;
    bool present;
    std::vector<BYTE> content;
    bool usable;                  // yields a secret
    std::vector<BYTE> secret;     // the secret it yields
    std::vector<BYTE> staleTemp;  // a temporary file left by a creator that died, if not empty
};

struct LoadRun {
    SECURITY_STATUS status = 0;
    BYTE* secret = nullptr;
    uint32_t length = 0;
    std::vector<zt::CallRecord> calls;
    std::string hygiene;
};

BYTE* const kNoBlockYet = reinterpret_cast<BYTE*>(static_cast<uintptr_t>(0x5A5A5A5A));

LoadRun LoadUnder(uint64_t failCall, LONG status, DWORD lastError)
{
    LoadRun r;
    r.secret = kNoBlockYet;
    r.length = 0xEEEE;
    {
        zt::Interposer spy(GetModuleHandleW(nullptr));
        if (failCall != 0) {
            spy.FailNthCall(failCall);
            spy.SetFailureStatus(status);
            spy.SetFailureLastError(lastError);
        }
        r.status = LoadPipeSecret(&r.secret, &r.length);
        r.calls = spy.Calls();
        r.hygiene = zt::HygieneProblems(spy, r.status == 0 ? 1 : 0);
    }
    return r;
}

std::vector<BYTE> TakeSecret(LoadRun& r)
{
    std::vector<BYTE> bytes;
    if (r.status == 0 && r.secret != nullptr && r.secret != kNoBlockYet) {
        bytes.assign(r.secret, r.secret + r.length);
        SecureZeroMemory(r.secret, r.length);
        HeapFree(GetProcessHeap(), 0, r.secret);
        r.secret = nullptr;
    }
    return bytes;
}

// The secret a file holds: DPAPI-protected or plain 32 bytes.
std::vector<BYTE> SecretInFile(const std::vector<BYTE>& file)
{
    bool ok = false;
    std::vector<BYTE> plain = zt::Unprotect(file, &ok);
    return ok ? plain : file;
}

bool MayRecover(zt::Fn fn)
{
    // An open that meets a sharing violation, a move that finds the name
    // taken (or the temporary file held): read again and go on. A failed
    // look for a finished file only means the move decides; a temporary
    // file that could not be removed is written over next time.
    return zt::IsReleaseCall(fn) || fn == zt::Fn::CryptProtectData || fn == zt::Fn::CreateFileW ||
           fn == zt::Fn::MoveFileExW || fn == zt::Fn::GetFileAttributesW || fn == zt::Fn::DeleteFileW ||
           zt::ProtectsAnExistingFolder(fn);
}

TEST(SecretStoreSweep, EveryCallFailsOnEveryFileState)
{
    zt::TempDataRoot root;
    ASSERT_TRUE(root.ok());
    const std::vector<BYTE> protectedSecret = Pattern(32, 3);
    std::vector<FileState> states = {
        {"absent", false, {}, true, {}, {}},
        {"empty", true, {}, true, {}, {}},
        {"DPAPI blob of 32 bytes", true, zt::Protect(protectedSecret), true, protectedSecret, {}},
        {"32 plain bytes", true, Pattern(32, 9), true, Pattern(32, 9), {}},
        {"31 plain bytes", true, Pattern(31, 1), false, {}, {}},
        {"33 plain bytes", true, Pattern(33, 1), false, {}, {}},
        {"DPAPI blob of 31 bytes", true, zt::Protect(Pattern(31, 7)), false, {}, {}},
        {"absent, stale temporary", false, {}, true, {}, Pattern(90, 4)},
    };
    ASSERT_GT(states[2].content.size(), 32u);
    ASSERT_GT(states[6].content.size(), 32u);

    uint64_t injected = 0;
    for (const FileState& state : states) {
        auto prepare = [&] {
            zt::RemoveTree(root.folder());
            if (state.present) {
                root.WriteSecretFile(state.content);
            }
            if (!state.staleTemp.empty()) {
                CreateDirectoryW(root.wideFolder().c_str(), nullptr);
                zt::WriteFileBytes(root.wideTempFile(), state.staleTemp);
            }
        };
        prepare();
        LoadRun base = LoadUnder(0, 0, 0);
        const std::vector<BYTE> baseSecret = TakeSecret(base);
        ASSERT_EQ(state.usable ? 0 : NTE_INTERNAL_ERROR, base.status) << state.name;
        EXPECT_EQ("", base.hygiene) << state.name;
        if (!state.secret.empty()) {
            EXPECT_EQ(state.secret, baseSecret) << state.name;
        }
        const size_t planned = base.calls.size();
        uint64_t stateInjected = 0;
        for (uint64_t n = 1; n <= planned; ++n) {
            const zt::Fn plannedFn = base.calls[n - 1].fn;
            if (plannedFn == zt::Fn::GetTickCount64 || plannedFn == zt::Fn::Sleep) {
                continue;
            }
            prepare();
            LoadRun r = LoadUnder(n, zt::InjectedStatus(n), zt::PlausibleLastError(plannedFn, n));
            const BYTE* handedOut = r.secret;
            const uint32_t handedLength = r.length;
            const std::vector<BYTE> secret = TakeSecret(r);
            if (r.calls.size() < n) {
                continue;
            }
            const zt::Fn fn = r.calls[n - 1].fn;
            ++stateInjected;
            const std::string where = std::string(state.name) + ", failing " + zt::FnName(fn) + " (call " +
                                      std::to_string(n) + "): status " + std::to_string(r.status);
            EXPECT_EQ("", r.hygiene) << where;
            if (r.status != 0) {
                EXPECT_TRUE(r.status == NTE_INTERNAL_ERROR || r.status == NTE_NO_MEMORY) << where;
                EXPECT_EQ(nullptr, handedOut) << where;
                EXPECT_EQ(0u, handedLength) << where;
                if (fn == zt::Fn::HeapAlloc) {
                    EXPECT_EQ(NTE_NO_MEMORY, r.status) << where;
                }
            } else {
                EXPECT_TRUE(state.usable) << where;
                EXPECT_TRUE(MayRecover(fn) || (fn == zt::Fn::CryptUnprotectData && state.secret.size() == 32 &&
                                               state.content == state.secret))
                    << where << " was not noticed";
                EXPECT_EQ(32u, secret.size()) << where;
                if (!state.secret.empty()) {
                    EXPECT_EQ(state.secret, secret) << where;
                }
            }
            bool exists = false;
            const std::vector<BYTE> after = zt::ReadWholeFile(root.secretFile(), &exists);
            if (state.present && !state.content.empty()) {
                EXPECT_TRUE(exists && after == state.content) << where << ": the file changed";
            } else if (r.status == 0) {
                EXPECT_EQ(secret, SecretInFile(after)) << where << ": the file does not hold the secret handed out";
                EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(root.wideTempFile().c_str()))
                    << where << ": a temporary file is left";
            } else {
                // No usable file was there before; the next call must still work.
                LoadRun again = LoadUnder(0, 0, 0);
                const std::vector<BYTE> next = TakeSecret(again);
                EXPECT_EQ(0, again.status) << where << ": the store is left unusable";
                bool existsNow = false;
                EXPECT_EQ(next, SecretInFile(zt::ReadWholeFile(root.secretFile(), &existsNow))) << where;
            }
            if (HasFailure()) {
                break;
            }
        }
        std::printf("[secret sweep] %-24s %3zu calls, %3llu injected failures\n", state.name, planned,
                    static_cast<unsigned long long>(stateInjected));
        injected += stateInjected;
    }
    std::printf("[secret sweep] %zu file states, %llu injected failures\n", states.size(),
                static_cast<unsigned long long>(injected));
}

}  // namespace
