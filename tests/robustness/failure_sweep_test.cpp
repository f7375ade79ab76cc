// Failure sweep through the real DLL against the reference signing service:
// each operation runs once to count the platform calls it makes, then once
// per call with exactly that call failing. Every run must end with a status
// the operation may give for that failure, write no output on failure, leave
// no block allocated, free only zeroed blocks, close every handle it opened,
// and leave the pipe secret file as it was.
#include "folder_security.h"
#include "ksp_status.h"
#include "provider_loader.h"
#include "robust_support.h"

#include <gtest/gtest.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// A printable scenario label from an ASCII property name.
std::string SweepLabel(const char* prefix, const wchar_t* name)
{
    std::string label = prefix;
    for (const wchar_t* c = name; *c != 0; ++c) {
        label += static_cast<char>(*c);
    }
    return label;
}

const wchar_t kKeyName[] = L"sweep-key";
constexpr DWORD kKeyBytes = 256;
constexpr NCRYPT_KEY_HANDLE kUntouchedKey = 0x77;

std::unique_ptr<zt::ServiceWithKeys> g_service;
size_t g_scenarios = 0;
uint64_t g_injected = 0;

class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_service = std::make_unique<zt::ServiceWithKeys>();
        std::string error;
        ASSERT_TRUE(g_service->Start({{kKeyName, 2048}}, 16, &error)) << error;
    }
    void TearDown() override
    {
        std::printf("[failure sweep] %zu scenarios, %llu injected failures\n", g_scenarios,
                    static_cast<unsigned long long>(g_injected));
        g_service.reset();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

struct RunResult {
    SECURITY_STATUS status = 0;
    bool outputsClean = true;  // on failure: nothing written
    bool outputsRight = true;  // on success: right values, guards intact
    std::string detail;
};

// Statuses a run may end with when call `ordinal` of `fn` failed with `injected`.
using Allowed = std::function<bool(zt::Fn fn, uint64_t ordinal, LONG injected, SECURITY_STATUS status)>;

bool In(SECURITY_STATUS s, std::initializer_list<SECURITY_STATUS> set)
{
    for (SECURITY_STATUS x : set) {
        if (s == x) {
            return true;
        }
    }
    return false;
}

// The pipe secret store reads the file again when a writer holds it, so a
// failure of its open (CreateFileW; the pipe is CreateFileA) with a sharing
// violation is recovered from; protecting its existing folder is best effort.
bool SecretStoreMayRecover(zt::Fn fn, uint64_t)
{
    return fn == zt::Fn::CreateFileW || zt::ProtectsAnExistingFolder(fn);
}

// A status an exchange (and so SignHash and Decrypt) may give for a failure.
bool ExchangeMayGive(zt::Fn fn, uint64_t ordinal, LONG injected, SECURITY_STATUS s)
{
    if (zt::IsReleaseCall(fn)) {
        return In(s, {0, NTE_INTERNAL_ERROR, zt::ExpectedMapping(injected)});
    }
    if (SecretStoreMayRecover(fn, ordinal)) {
        return In(s, {0, NTE_INTERNAL_ERROR});
    }
    if (fn == zt::Fn::HeapAlloc) {
        return In(s, {NTE_INTERNAL_ERROR, NTE_NO_MEMORY});
    }
    if (zt::IsBCryptCall(fn)) {
        // The key derivation's keyed hash reports BCrypt's status mapped.
        return In(s, {NTE_INTERNAL_ERROR, zt::ExpectedMapping(injected)});
    }
    return s == NTE_INTERNAL_ERROR;
}

std::string Hex(SECURITY_STATUS s)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(s));
    return text;
}

class FailureSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(g_service && g_service->process() && g_service->process()->Running());
        secretFile = g_service->root().secretFile();
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
        ASSERT_EQ(0, provider->OpenKey(prov, &key, kKeyName, 0, 0));
        DWORD size = 0;
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, &size, 0));
        publicBlob.resize(size);
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, publicBlob.data(), size,
                                         &size, 0));
        hash = zt::Sha256("failure sweep");
        signature.resize(kKeyBytes);
        ASSERT_EQ(0, provider->SignHash(prov, key, &pkcs1, hash.data(), 32, signature.data(), kKeyBytes, &size,
                                        NCRYPT_PAD_PKCS1_FLAG));
        ASSERT_TRUE(zt::BCryptVerifies(publicBlob, &pkcs1, hash, signature, BCRYPT_PAD_PKCS1));
        const char text[] = "sweep plaintext";
        plaintext.assign(text, text + sizeof text - 1);
        ciphertext.resize(kKeyBytes);
        ASSERT_EQ(0, provider->Encrypt(prov, key, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                       ciphertext.data(), kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG));
        bool exists = false;
        secretBefore = zt::ReadWholeFile(secretFile, &exists);
        ASSERT_TRUE(exists);
    }
    void TearDown() override
    {
        if (key != 0) {
            EXPECT_EQ(0, provider->FreeKey(prov, key));
        }
        if (prov != 0) {
            EXPECT_EQ(0, provider->FreeProvider(prov));
        }
    }

    // Runs `body` once clean, then once per hooked call with that call failing.
    void Sweep(const char* name, const std::function<RunResult()>& body, const Allowed& allowed)
    {
        zt::Interposer spy(provider.module());
        const RunResult base = body();
        const SECURITY_STATUS baseStatus = base.status;
        if (baseStatus == 0) {
            EXPECT_TRUE(base.outputsRight) << name << " without failures: " << base.detail;
        }
        EXPECT_EQ("", zt::HygieneProblems(spy)) << name << " without failures";
        const std::vector<zt::CallRecord> planned = spy.Calls();
        uint64_t injected = 0;
        int failingRuns = 0;
        for (uint64_t n = 1; n <= planned.size() && failingRuns < 8; ++n) {
            const zt::Fn plannedFn = planned[n - 1].fn;
            if (plannedFn == zt::Fn::GetTickCount64 || plannedFn == zt::Fn::Sleep) {
                continue;  // the hooks never fail these
            }
            spy.Reset();
            const LONG status = zt::InjectedStatus(n);
            spy.FailNthCall(n);
            spy.SetFailureStatus(status);
            spy.SetFailureLastError(zt::PlausibleLastError(plannedFn, n));
            const RunResult r = body();
            const std::vector<zt::CallRecord> calls = spy.Calls();
            if (calls.size() < n || calls[n - 1].fn == zt::Fn::GetTickCount64 || calls[n - 1].fn == zt::Fn::Sleep) {
                continue;  // this run took a shorter path; nothing failed
            }
            const zt::Fn fn = calls[n - 1].fn;
            uint64_t ordinal = 0;
            for (uint64_t i = 0; i < n; ++i) {
                ordinal += calls[i].fn == fn ? 1 : 0;
            }
            ++injected;
            const std::string where = std::string(name) + ", failing " + zt::FnName(fn) + " #" +
                                      std::to_string(ordinal) + " (call " + std::to_string(n) + ", " +
                                      Hex(status) + "): status " + Hex(r.status);
            bool ok = true;
            if (!allowed(fn, ordinal, status, r.status)) {
                ADD_FAILURE() << where << " is not allowed for this failure";
                ok = false;
            }
            if (r.status != 0 && !r.outputsClean) {
                ADD_FAILURE() << where << ": output written on failure " << r.detail;
                ok = false;
            }
            if (r.status == 0 && !r.outputsRight) {
                ADD_FAILURE() << where << ": wrong output on success " << r.detail;
                ok = false;
            }
            const std::string hygiene = zt::HygieneProblems(spy);
            if (!hygiene.empty()) {
                ADD_FAILURE() << where << ": " << hygiene;
                ok = false;
            }
            bool exists = false;
            if (zt::ReadWholeFile(secretFile, &exists) != secretBefore) {
                ADD_FAILURE() << where << ": the pipe secret file changed";
                ok = false;
            }
            failingRuns += ok ? 0 : 1;
        }
        ++g_scenarios;
        g_injected += injected;
        std::printf("[failure sweep] %-34s %4zu calls, %4llu injected failures\n", name, planned.size(),
                    static_cast<unsigned long long>(injected));
    }

    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    std::string secretFile;
    std::vector<BYTE> secretBefore;
    std::vector<BYTE> publicBlob;
    std::vector<BYTE> hash;
    std::vector<BYTE> signature;
    std::vector<BYTE> plaintext;
    std::vector<BYTE> ciphertext;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
};

TEST_F(FailureSweep, OpenAndFreeProvider)
{
    Sweep(
        "OpenProvider, FreeProvider",
        [&] {
            RunResult r;
            NCRYPT_PROV_HANDLE h = kUntouchedKey;
            r.status = provider->OpenProvider(&h, L"Zentrava Key Storage Provider", 0);
            if (r.status != 0) {
                r.outputsClean = h == kUntouchedKey;
                return r;
            }
            r.status = provider->FreeProvider(h);
            return r;
        },
        [](zt::Fn fn, uint64_t, LONG, SECURITY_STATUS s) {
            return zt::IsReleaseCall(fn) ? s == 0 : (fn == zt::Fn::HeapAlloc && s == NTE_NO_MEMORY);
        });
}

TEST_F(FailureSweep, OpenKeyAndFreeKey)
{
    Sweep(
        "OpenKey, FreeKey",
        [&] {
            RunResult r;
            NCRYPT_KEY_HANDLE k = kUntouchedKey;
            r.status = provider->OpenKey(prov, &k, kKeyName, 0, 0);
            if (r.status != 0) {
                r.outputsClean = k == kUntouchedKey;
                return r;
            }
            DWORD bits = 0;
            DWORD size = 0;
            provider->GetKeyProperty(prov, k, L"Length", reinterpret_cast<BYTE*>(&bits), 4, &size, 0);
            r.outputsRight = bits == 2048;
            r.status = provider->FreeKey(prov, k);
            return r;
        },
        [](zt::Fn fn, uint64_t ordinal, LONG injected, SECURITY_STATUS s) {
            if (zt::IsReleaseCall(fn)) {
                // The public key's release reports its mapped status.
                return In(s, {0, NTE_BAD_KEYSET, zt::ExpectedMapping(injected)});
            }
            if (fn == zt::Fn::HeapAlloc && ordinal <= 2) {
                return s == NTE_NO_MEMORY;  // the key handle and its name
            }
            if (fn == zt::Fn::BCryptImportKeyPair) {
                return s == zt::ExpectedMapping(injected);
            }
            if (SecretStoreMayRecover(fn, ordinal)) {
                return In(s, {0, NTE_BAD_KEYSET});
            }
            return s == NTE_BAD_KEYSET;
        });
}

TEST_F(FailureSweep, SignHash)
{
    Sweep(
        "SignHash",
        [&] {
            RunResult r;
            zt::GuardedBuffer out(kKeyBytes);
            DWORD result = zt::kResultSentinel;
            r.status = provider->SignHash(prov, key, &pkcs1, hash.data(), 32, out.data(), kKeyBytes, &result,
                                          NCRYPT_PAD_PKCS1_FLAG);
            r.outputsClean = out.Untouched() && result == zt::kResultSentinel;
            r.outputsRight = result == kKeyBytes && out.GuardsIntact() && out.Contents(kKeyBytes) == signature;
            return r;
        },
        ExchangeMayGive);
}

TEST_F(FailureSweep, Decrypt)
{
    Sweep(
        "Decrypt",
        [&] {
            RunResult r;
            zt::GuardedBuffer out(kKeyBytes);
            DWORD result = zt::kResultSentinel;
            r.status = provider->Decrypt(prov, key, ciphertext.data(), kKeyBytes, nullptr, out.data(), kKeyBytes,
                                         &result, NCRYPT_PAD_PKCS1_FLAG);
            r.outputsClean = out.Untouched() && result == zt::kResultSentinel;
            r.outputsRight = result == plaintext.size() && out.GuardsIntact() && out.Contents(result) == plaintext;
            return r;
        },
        ExchangeMayGive);
}

TEST_F(FailureSweep, DecryptSizeQuery)
{
    Sweep(
        "Decrypt size query",
        [&] {
            RunResult r;
            DWORD result = zt::kResultSentinel;
            r.status = provider->Decrypt(prov, key, ciphertext.data(), kKeyBytes, nullptr, nullptr, 0, &result,
                                         NCRYPT_PAD_PKCS1_FLAG);
            r.outputsClean = result == zt::kResultSentinel;
            r.outputsRight = result == plaintext.size();
            return r;
        },
        ExchangeMayGive);
}

// The local operations: only their one BCrypt call can fail, and its status
// comes back through the mapping.
bool OnlyMapped(zt::Fn fn, uint64_t, LONG injected, SECURITY_STATUS s)
{
    return zt::IsBCryptCall(fn) && s == zt::ExpectedMapping(injected);
}

TEST_F(FailureSweep, EncryptVerifyExport)
{
    Sweep(
        "Encrypt",
        [&] {
            RunResult r;
            zt::GuardedBuffer out(kKeyBytes);
            DWORD result = zt::kResultSentinel;
            r.status = provider->Encrypt(prov, key, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                         out.data(), kKeyBytes, &result, NCRYPT_PAD_PKCS1_FLAG);
            r.outputsClean = out.Untouched() && result == zt::kResultSentinel;
            r.outputsRight = result == kKeyBytes && out.GuardsIntact();
            return r;
        },
        OnlyMapped);
    Sweep(
        "VerifySignature",
        [&] {
            RunResult r;
            r.status = provider->VerifySignature(prov, key, &pkcs1, hash.data(), 32, signature.data(), kKeyBytes,
                                                 NCRYPT_PAD_PKCS1_FLAG);
            return r;
        },
        OnlyMapped);
    Sweep(
        "ExportKey",
        [&] {
            RunResult r;
            zt::GuardedBuffer out(publicBlob.size());
            DWORD result = zt::kResultSentinel;
            r.status = provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, out.data(),
                                           static_cast<DWORD>(out.size()), &result, 0);
            r.outputsClean = out.Untouched() && result == zt::kResultSentinel;
            r.outputsRight = result == publicBlob.size() && out.GuardsIntact() && out.Contents(result) == publicBlob;
            return r;
        },
        OnlyMapped);
}

// Every key property with a buffer; only "Lengths" asks BCrypt, whose
// status comes back unchanged.
TEST_F(FailureSweep, KeyProperties)
{
    static const wchar_t* const kNames[] = {L"Algorithm Name", L"Block Length", L"Export Policy", L"Key Usage",
                                            L"Key Type",       L"Length",       L"Name",          L"Algorithm Group",
                                            L"Unique Name"};
    for (const wchar_t* name : kNames) {
        const std::string label = SweepLabel("GetKeyProperty ", name);
        Sweep(
            label.c_str(),
            [&] {
                RunResult r;
                zt::GuardedBuffer out(64);
                DWORD result = zt::kResultSentinel;
                r.status = provider->GetKeyProperty(prov, key, name, out.data(), 64, &result, 0);
                r.outputsRight = result != zt::kResultSentinel && result <= 64 && out.GuardsIntact();
                return r;
            },
            [](zt::Fn, uint64_t, LONG, SECURITY_STATUS) { return false; });
    }
    Sweep(
        "GetKeyProperty Lengths",
        [&] {
            RunResult r;
            zt::GuardedBuffer out(16);
            DWORD result = zt::kResultSentinel;
            r.status = provider->GetKeyProperty(prov, key, L"Lengths", out.data(), 16, &result, 0);
            // The size is set before BCrypt is asked; the record only on success.
            r.outputsClean = out.Untouched() && result == 16;
            r.outputsRight = result == 16 && out.GuardsIntact();
            return r;
        },
        [](zt::Fn fn, uint64_t, LONG injected, SECURITY_STATUS s) {
            return fn == zt::Fn::BCryptGetProperty && s == injected;
        });
}

TEST_F(FailureSweep, ProviderPropertiesAndAlgorithms)
{
    static const wchar_t* const kNames[] = {L"Impl Type", L"Max Name Length", L"Name", L"Version",
                                            L"Security Descr Support"};
    for (const wchar_t* name : kNames) {
        const std::string label = SweepLabel("GetProviderProperty ", name);
        Sweep(
            label.c_str(),
            [&] {
                RunResult r;
                zt::GuardedBuffer out(128);
                DWORD result = zt::kResultSentinel;
                r.status = provider->GetProviderProperty(prov, name, out.data(), 128, &result, 0);
                r.outputsRight = result != zt::kResultSentinel && result <= 128 && out.GuardsIntact();
                return r;
            },
            [](zt::Fn, uint64_t, LONG, SECURITY_STATUS) { return false; });
    }
    Sweep(
        "Set and get Use Context",
        [&] {
            RunResult r;
            NCRYPT_PROV_HANDLE h = 0;
            if (provider->OpenProvider(&h, L"p", 0) != 0) {
                r.status = NTE_NO_MEMORY;
                return r;
            }
            wchar_t context[] = L"context value";
            r.status = provider->SetProviderProperty(h, L"Use Context", reinterpret_cast<BYTE*>(context),
                                                     sizeof context, 0);
            zt::GuardedBuffer out(64);
            DWORD result = zt::kResultSentinel;
            const SECURITY_STATUS read = provider->GetProviderProperty(h, L"Use Context", out.data(), 64, &result, 0);
            if (r.status == 0) {
                r.outputsRight = read == 0 && result == sizeof context && out.GuardsIntact() &&
                                 std::memcmp(out.data(), context, sizeof context) == 0;
            } else {
                // Nothing stored: reading it is an internal error and writes nothing.
                r.outputsClean = read == NTE_INTERNAL_ERROR && out.Untouched() && result == zt::kResultSentinel;
            }
            const SECURITY_STATUS freed = provider->FreeProvider(h);
            if (r.status == 0) {
                r.status = freed;
            }
            return r;
        },
        [](zt::Fn fn, uint64_t ordinal, LONG, SECURITY_STATUS s) {
            if (zt::IsReleaseCall(fn)) {
                return s == 0;
            }
            // Allocation 1 is the provider handle (reported the same way by the body).
            return fn == zt::Fn::HeapAlloc && ordinal <= 2 && s == NTE_NO_MEMORY;
        });
    Sweep(
        "EnumAlgorithms, FreeBuffer",
        [&] {
            RunResult r;
            DWORD count = zt::kResultSentinel;
            NCryptAlgorithmName* list = reinterpret_cast<NCryptAlgorithmName*>(kUntouchedKey);
            r.status = provider->EnumAlgorithms(prov, 0, &count, &list, 0);
            if (r.status != 0) {
                r.outputsClean = count == zt::kResultSentinel && list == reinterpret_cast<NCryptAlgorithmName*>(kUntouchedKey);
                return r;
            }
            r.outputsRight = count == 1 && std::wcscmp(list->pszName, L"RSA") == 0;
            // The list is ours now; clear it so the wipe check holds for the free.
            SecureZeroMemory(list, sizeof(NCryptAlgorithmName) + 8);
            r.status = provider->FreeBuffer(list);
            return r;
        },
        [](zt::Fn fn, uint64_t, LONG, SECURITY_STATUS s) {
            return zt::IsReleaseCall(fn) ? s == 0 : (fn == zt::Fn::HeapAlloc && s == NTE_NO_MEMORY);
        });
}

}  // namespace

namespace {

// A whole session, as an application runs it: every call of three exchanges
// and the local operations in one sweep. The first failing step decides.
TEST_F(FailureSweep, WholeSession)
{
    const auto session = [&] {
            RunResult r;
            NCRYPT_PROV_HANDLE h = kUntouchedKey;
            NCRYPT_KEY_HANDLE k = kUntouchedKey;
            r.status = provider->OpenProvider(&h, L"Zentrava Key Storage Provider", 0);
            if (r.status != 0) {
                r.outputsClean = h == kUntouchedKey;
                return r;
            }
            r.status = provider->OpenKey(h, &k, kKeyName, 0, 0);
            if (r.status != 0) {
                r.outputsClean = k == kUntouchedKey;
                provider->FreeProvider(h);
                return r;
            }
            zt::GuardedBuffer sig(kKeyBytes);
            zt::GuardedBuffer plain(kKeyBytes);
            zt::GuardedBuffer cipher(kKeyBytes);
            zt::GuardedBuffer blob(publicBlob.size());
            DWORD signed_ = zt::kResultSentinel;
            DWORD decrypted = zt::kResultSentinel;
            DWORD encrypted = zt::kResultSentinel;
            DWORD exported = zt::kResultSentinel;
            r.status = provider->SignHash(h, k, &pkcs1, hash.data(), 32, sig.data(), kKeyBytes, &signed_,
                                          NCRYPT_PAD_PKCS1_FLAG);
            r.outputsClean = sig.Untouched() && signed_ == zt::kResultSentinel;
            r.outputsRight = signed_ == kKeyBytes && sig.GuardsIntact() && sig.Contents(kKeyBytes) == signature;
            if (r.status == 0) {
                r.status = provider->Decrypt(h, k, ciphertext.data(), kKeyBytes, nullptr, plain.data(), kKeyBytes,
                                             &decrypted, NCRYPT_PAD_PKCS1_FLAG);
                r.outputsClean = plain.Untouched() && decrypted == zt::kResultSentinel;
                r.outputsRight = r.outputsRight && decrypted == plaintext.size() && plain.GuardsIntact() &&
                                 plain.Contents(decrypted) == plaintext;
            }
            if (r.status == 0) {
                r.status = provider->Encrypt(h, k, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                             cipher.data(), kKeyBytes, &encrypted, NCRYPT_PAD_PKCS1_FLAG);
                r.outputsClean = cipher.Untouched() && encrypted == zt::kResultSentinel;
                r.outputsRight = r.outputsRight && encrypted == kKeyBytes && cipher.GuardsIntact();
            }
            if (r.status == 0) {
                r.outputsClean = true;  // verification has no output
                r.status = provider->VerifySignature(h, k, &pkcs1, hash.data(), 32, signature.data(), kKeyBytes,
                                                     NCRYPT_PAD_PKCS1_FLAG);
            }
            if (r.status == 0) {
                r.status = provider->ExportKey(h, k, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob.data(),
                                               static_cast<DWORD>(blob.size()), &exported, 0);
                r.outputsClean = blob.Untouched() && exported == zt::kResultSentinel;
                r.outputsRight = r.outputsRight && exported == publicBlob.size() && blob.Contents(exported) == publicBlob;
            }
            const SECURITY_STATUS freedKey = provider->FreeKey(h, k);
            const SECURITY_STATUS freedProv = provider->FreeProvider(h);
            if (r.status == 0) {
                // A failed release comes after every output was rightly written.
                r.outputsClean = true;
                r.status = freedKey != 0 ? freedKey : freedProv;
            }
            return r;
        };
    const auto allowed = [](zt::Fn fn, uint64_t ordinal, LONG injected, SECURITY_STATUS s) {
            const SECURITY_STATUS mapped = zt::ExpectedMapping(injected);
            if (zt::IsReleaseCall(fn)) {
                return In(s, {0, NTE_BAD_KEYSET, NTE_INTERNAL_ERROR, mapped});
            }
            if (SecretStoreMayRecover(fn, ordinal)) {
                return In(s, {0, NTE_BAD_KEYSET, NTE_INTERNAL_ERROR});
            }
            if (fn == zt::Fn::HeapAlloc) {
                return In(s, {NTE_NO_MEMORY, NTE_BAD_KEYSET, NTE_INTERNAL_ERROR});
            }
            if (zt::IsBCryptCall(fn)) {
                return In(s, {NTE_BAD_KEYSET, NTE_INTERNAL_ERROR, mapped});
            }
            return In(s, {NTE_BAD_KEYSET, NTE_INTERNAL_ERROR});
        };
    Sweep("whole session", session, allowed);

    // Every call of one function failing, from its first on: a platform
    // function that stays broken must not make the provider hang, leak or
    // damage the secret file either.
    zt::Interposer spy(provider.module());
    size_t functions = 0;
    for (int f = 0; f < static_cast<int>(zt::Fn::Count); ++f) {
        const zt::Fn fn = static_cast<zt::Fn>(f);
        if (fn == zt::Fn::GetTickCount64 || fn == zt::Fn::Sleep) {
            continue;
        }
        spy.Reset();
        const LONG status = zt::InjectedStatus(static_cast<uint64_t>(f));
        spy.FailNthCallOf(fn, 1, true);
        spy.SetFailureStatus(status);
        spy.SetFailureLastError(zt::PlausibleLastError(fn, 1));
        const RunResult r = session();
        if (spy.CallCount(fn) == 0) {
            continue;  // the session does not call it
        }
        ++functions;
        const std::string where = std::string("every ") + zt::FnName(fn) + " failing (" + Hex(status) +
                                  "): status " + Hex(r.status);
        EXPECT_TRUE(allowed(fn, 1, status, r.status)) << where;
        EXPECT_TRUE(r.status == 0 ? r.outputsRight : r.outputsClean) << where << " " << r.detail;
        EXPECT_EQ("", zt::HygieneProblems(spy)) << where;
        bool exists = false;
        EXPECT_EQ(secretBefore, zt::ReadWholeFile(secretFile, &exists)) << where << ": the secret file changed";
        // A broken platform call ends the exchange at once: no pipe wait of
        // the provider's may be left to run out its bound.
        for (const zt::WaitRecord& wait : spy.Waits()) {
            EXPECT_NE(static_cast<DWORD>(WAIT_TIMEOUT), wait.result) << where << ": a " << wait.timeoutMs
                                                                    << " ms wait ran out";
        }
    }
    std::printf("[failure sweep] whole session, every call of one function failing: %zu functions\n", functions);
}

}  // namespace
