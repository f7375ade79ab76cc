// Bad input at every entry point of the real DLL: absent and invalid handles
// (freed ones, pointers into random readable bytes, records of the other
// type), absent and short buffers, maximal and overflowing lengths, names at
// their length limits placed against unreadable memory, every flag bit alone.
// Each call must give its status, write nothing outside the caller's buffer
// (guard bytes around every output), touch no record it refused, and leak
// nothing.
#include "ksp_status.h"
#include "provider_loader.h"
#include "robust_support.h"

#include <gtest/gtest.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kKeyName[] = L"bad-input";
constexpr DWORD kKeyBytes = 256;
// The longest key name a key handle takes: 129 units and the terminator.
const std::wstring kLongestKeyName(129, L'k');

std::unique_ptr<zt::ServiceWithKeys> g_service;
uint64_t g_calls = 0;

class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_service = std::make_unique<zt::ServiceWithKeys>();
        std::string error;
        ASSERT_TRUE(g_service->Start({{kKeyName, 2048}, {kLongestKeyName, 2048}}, 16, &error)) << error;
    }
    void TearDown() override
    {
        std::printf("[bad input] %llu calls with bad input\n", static_cast<unsigned long long>(g_calls));
        g_service.reset();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

// Two pages, the second unreadable; strings are placed so that their last
// unit is the last readable one.
class PageEdge {
public:
    PageEdge()
    {
        base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + kPage, kPage, PAGE_NOACCESS, &old);
    }
    ~PageEdge() { VirtualFree(base_, 0, MEM_RELEASE); }
    // `units` UTF-16 units ending at the unreadable page; a terminator is
    // the last unit only if `terminated`.
    const wchar_t* Place(size_t chars, bool terminated, wchar_t fill = L'n')
    {
        const size_t units = chars + (terminated ? 1 : 0);
        auto* p = reinterpret_cast<wchar_t*>(base_ + kPage - units * sizeof(wchar_t));
        for (size_t i = 0; i < chars; ++i) {
            p[i] = fill;
        }
        if (terminated) {
            p[chars] = L'\0';
        }
        return p;
    }
    bool Fits(size_t units) const { return units * sizeof(wchar_t) <= kPage; }

private:
    static constexpr size_t kPage = 0x10000;  // larger than any name below
    BYTE* base_ = nullptr;
};

class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(g_service && g_service->process() && g_service->process()->Running());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
        ASSERT_EQ(0, provider->OpenKey(prov, &key, kKeyName, 0, 0));
        const char text[] = "bad input plaintext";
        plaintext.assign(text, text + sizeof text - 1);
        DWORD size = 0;
        ciphertext.resize(kKeyBytes);
        ASSERT_EQ(0, provider->Encrypt(prov, key, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                       ciphertext.data(), kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG));
        hash = zt::Sha256("bad input");
        spy = std::make_unique<zt::Interposer>(provider.module());
    }
    void TearDown() override
    {
        // Freed under the spy too: a stored use context must go, wiped.
        EXPECT_EQ(0, provider->FreeKey(prov, key));
        EXPECT_EQ(0, provider->FreeProvider(prov));
        EXPECT_EQ("", zt::HygieneProblems(*spy));
        spy.reset();
    }

    // The key still answers, so a refused call left it intact.
    void ExpectKeyUsable()
    {
        DWORD bits = 0;
        DWORD size = 0;
        EXPECT_EQ(0, provider->GetKeyProperty(prov, key, L"Length", reinterpret_cast<BYTE*>(&bits), 4, &size, 0));
        EXPECT_EQ(2048u, bits);
    }

    zt::LoadedProvider provider;
    std::unique_ptr<zt::Interposer> spy;
    NCRYPT_PROV_HANDLE prov = 0;
    NCRYPT_KEY_HANDLE key = 0;
    std::vector<BYTE> plaintext;
    std::vector<BYTE> ciphertext;
    std::vector<BYTE> hash;
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
};

struct Bogus {
    std::string what;
    ULONG_PTR value;
};

// Handle values that must all be refused. `records` keeps the memory they
// point into alive and is compared afterwards: a refused record is not written.
std::vector<Bogus> BogusHandles(const zt::LoadedProvider& provider, NCRYPT_PROV_HANDLE prov, NCRYPT_KEY_HANDLE key,
                                bool forKeySlot, std::vector<BYTE>& randomBytes, std::vector<uint32_t>& shortRecord)
{
    std::vector<Bogus> out;
    out.push_back({"NULL", 0});
    // Freed records of both kinds (still readable heap memory, zeroed).
    NCRYPT_PROV_HANDLE freedProv = 0;
    provider->OpenProvider(&freedProv, L"freed", 0);
    provider->FreeProvider(freedProv);
    out.push_back({"freed provider handle", freedProv});
    NCRYPT_KEY_HANDLE freedKey = 0;
    provider->OpenKey(prov, &freedKey, kKeyName, 0, 0);
    provider->FreeKey(prov, freedKey);
    out.push_back({"freed key handle", freedKey});
    // A live record of the other kind.
    out.push_back({forKeySlot ? "provider handle" : "key handle", forKeySlot ? prov : key});
    // Random readable bytes at several offsets.
    uint32_t x = 0x9E3779B9u;
    randomBytes.resize(4096);
    for (BYTE& b : randomBytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<BYTE>(x >> 24);
    }
    for (size_t offset : {0u, 1u, 3u, 8u, 100u, 1001u, 2048u, 4000u}) {
        out.push_back({"random bytes +" + std::to_string(offset),
                       reinterpret_cast<ULONG_PTR>(randomBytes.data() + offset)});
    }
    // The right tag with a length one short of the record's.
    shortRecord.assign(64, 0);
    shortRecord[0] = forKeySlot ? 175 : 39;
    shortRecord[1] = forKeySlot ? 0x53504C4B : 0x53504C50;
    out.push_back({"right tag, short length", reinterpret_cast<ULONG_PTR>(shortRecord.data())});
    // Readable memory of the provider itself: its table and its image header.
    out.push_back({"function table", reinterpret_cast<ULONG_PTR>(&provider.table())});
    out.push_back({"module image", reinterpret_cast<ULONG_PTR>(provider.module())});
    return out;
}

TEST_F(BadInput, InvalidHandlesAreRefusedAndNotTouched)
{
    std::vector<BYTE> randomP;
    std::vector<BYTE> randomK;
    std::vector<uint32_t> shortP;
    std::vector<uint32_t> shortK;
    const std::vector<Bogus> provs = BogusHandles(provider, prov, key, false, randomP, shortP);
    const std::vector<Bogus> keys = BogusHandles(provider, prov, key, true, randomK, shortK);
    const std::vector<BYTE> randomPBefore = randomP;
    const std::vector<BYTE> randomKBefore = randomK;
    const std::vector<uint32_t> shortPBefore = shortP;
    const std::vector<uint32_t> shortKBefore = shortK;
    spy->Reset();
    uint64_t calls = 0;
    auto expectRefused = [&](const std::string& what, SECURITY_STATUS s, bool untouched) {
        ++calls;
        EXPECT_EQ(NTE_INVALID_HANDLE, s) << what;
        EXPECT_TRUE(untouched) << what << ": output written";
    };
    for (const Bogus& b : provs) {
        zt::GuardedBuffer out(128);
        DWORD result = zt::kResultSentinel;
        expectRefused("FreeProvider(" + b.what + ")", provider->FreeProvider(b.value), true);
        expectRefused("FreeKey(" + b.what + ", key)", provider->FreeKey(b.value, key), true);
        expectRefused("GetProviderProperty(" + b.what + ")",
                      provider->GetProviderProperty(b.value, L"Name", out.data(), 128, &result, 0),
                      out.Untouched() && result == zt::kResultSentinel);
        wchar_t context[] = L"ctx";
        expectRefused("SetProviderProperty(" + b.what + ")",
                      provider->SetProviderProperty(b.value, L"Use Context", reinterpret_cast<BYTE*>(context),
                                                    sizeof context, 0),
                      true);
        expectRefused("IsAlgSupported(" + b.what + ")", provider->IsAlgSupported(b.value, L"RSA", 0), true);
        DWORD count = zt::kResultSentinel;
        NCryptAlgorithmName* list = nullptr;
        expectRefused("EnumAlgorithms(" + b.what + ")", provider->EnumAlgorithms(b.value, 0, &count, &list, 0),
                      count == zt::kResultSentinel && list == nullptr);
        expectRefused("GetKeyProperty(" + b.what + ", key)",
                      provider->GetKeyProperty(b.value, key, L"Length", out.data(), 128, &result, 0),
                      out.Untouched() && result == zt::kResultSentinel);
        expectRefused("ExportKey(" + b.what + ", key)",
                      provider->ExportKey(b.value, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, out.data(), 128, &result, 0),
                      out.Untouched() && result == zt::kResultSentinel);
    }
    for (const Bogus& b : keys) {
        zt::GuardedBuffer out(kKeyBytes);
        DWORD result = zt::kResultSentinel;
        auto clean = [&] { return out.Untouched() && result == zt::kResultSentinel; };
        expectRefused("FreeKey(prov, " + b.what + ")", provider->FreeKey(prov, b.value), true);
        expectRefused("GetKeyProperty(prov, " + b.what + ")",
                      provider->GetKeyProperty(prov, b.value, L"Name", out.data(), kKeyBytes, &result, 0), clean());
        expectRefused("ExportKey(prov, " + b.what + ")",
                      provider->ExportKey(prov, b.value, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, out.data(), kKeyBytes,
                                          &result, 0),
                      clean());
        expectRefused("Encrypt(" + b.what + ")",
                      provider->Encrypt(prov, b.value, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                        out.data(), kKeyBytes, &result, NCRYPT_PAD_PKCS1_FLAG),
                      clean());
        expectRefused("Decrypt(" + b.what + ")",
                      provider->Decrypt(prov, b.value, ciphertext.data(), kKeyBytes, nullptr, out.data(), kKeyBytes,
                                        &result, NCRYPT_PAD_PKCS1_FLAG),
                      clean());
        expectRefused("SignHash(" + b.what + ")",
                      provider->SignHash(prov, b.value, &pkcs1, hash.data(), 32, out.data(), kKeyBytes, &result,
                                         NCRYPT_PAD_PKCS1_FLAG),
                      clean());
        expectRefused("VerifySignature(" + b.what + ")",
                      provider->VerifySignature(prov, b.value, &pkcs1, hash.data(), 32, out.data(), kKeyBytes,
                                                NCRYPT_PAD_PKCS1_FLAG),
                      true);
    }
    EXPECT_EQ(0u, spy->CallCount(zt::Fn::CreateFileA)) << "a refused call reached the pipe";
    EXPECT_EQ(0u, spy->Calls().size()) << "a refused call reached the platform";
    EXPECT_EQ(randomPBefore, randomP);
    EXPECT_EQ(randomKBefore, randomK);
    EXPECT_EQ(shortPBefore, shortP);
    EXPECT_EQ(shortKBefore, shortK);
    ExpectKeyUsable();
    // The operations that do not look at the provider handle still work with a bogus one.
    zt::GuardedBuffer out(kKeyBytes);
    DWORD result = 0;
    EXPECT_EQ(0, provider->Encrypt(provs.back().value, key, plaintext.data(), static_cast<DWORD>(plaintext.size()),
                                   nullptr, out.data(), kKeyBytes, &result, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_TRUE(out.GuardsIntact());
    g_calls += calls + 1;
    std::printf("[bad input] invalid handles: %zu provider and %zu key handle values, %llu calls\n", provs.size(),
                keys.size(), static_cast<unsigned long long>(calls));
}

TEST_F(BadInput, AbsentAndShortBuffers)
{
    uint64_t calls = 0;
    auto check = [&](const char* what, SECURITY_STATUS expected, SECURITY_STATUS s) {
        ++calls;
        EXPECT_EQ(expected, s) << what;
    };
    DWORD result = zt::kResultSentinel;
    NCRYPT_PROV_HANDLE h = 0;
    NCRYPT_KEY_HANDLE k = 0;
    check("OpenProvider no out", NTE_INVALID_PARAMETER, provider->OpenProvider(nullptr, L"x", 0));
    check("OpenProvider no name", NTE_INVALID_PARAMETER, provider->OpenProvider(&h, nullptr, 0));
    check("OpenKey no out", NTE_INVALID_PARAMETER, provider->OpenKey(prov, nullptr, kKeyName, 0, 0));
    check("OpenKey no name", NTE_INVALID_PARAMETER, provider->OpenKey(prov, &k, nullptr, 0, 0));
    EXPECT_EQ(0u, h);
    EXPECT_EQ(0u, k);
    check("GetProviderProperty no name", NTE_INVALID_PARAMETER,
          provider->GetProviderProperty(prov, nullptr, nullptr, 0, &result, 0));
    check("GetProviderProperty no result", NTE_INVALID_PARAMETER,
          provider->GetProviderProperty(prov, L"Name", nullptr, 0, nullptr, 0));
    check("SetProviderProperty no input", NTE_INVALID_PARAMETER,
          provider->SetProviderProperty(prov, L"Use Context", nullptr, 4, 0));
    check("IsAlgSupported no name", NTE_INVALID_PARAMETER, provider->IsAlgSupported(prov, nullptr, 0));
    DWORD count = 0;
    NCryptAlgorithmName* list = nullptr;
    check("EnumAlgorithms no count", NTE_INVALID_PARAMETER, provider->EnumAlgorithms(prov, 0, nullptr, &list, 0));
    check("EnumAlgorithms no list", NTE_INVALID_PARAMETER, provider->EnumAlgorithms(prov, 0, &count, nullptr, 0));
    check("GetKeyProperty no name", NTE_INVALID_PARAMETER,
          provider->GetKeyProperty(prov, key, nullptr, nullptr, 0, &result, 0));
    check("GetKeyProperty no result", NTE_INVALID_PARAMETER,
          provider->GetKeyProperty(prov, key, L"Length", nullptr, 0, nullptr, 0));
    check("SignHash no result", NTE_INVALID_PARAMETER,
          provider->SignHash(prov, key, &pkcs1, hash.data(), 32, nullptr, 0, nullptr, NCRYPT_PAD_PKCS1_FLAG));
    BYTE sig[kKeyBytes];
    check("SignHash no hash", NTE_INVALID_PARAMETER,
          provider->SignHash(prov, key, &pkcs1, nullptr, 32, sig, kKeyBytes, &result, NCRYPT_PAD_PKCS1_FLAG));
    check("Decrypt no input", NTE_INVALID_PARAMETER,
          provider->Decrypt(prov, key, nullptr, kKeyBytes, nullptr, nullptr, 0, &result, NCRYPT_PAD_PKCS1_FLAG));
    check("Decrypt empty input", NTE_INVALID_PARAMETER,
          provider->Decrypt(prov, key, ciphertext.data(), 0, nullptr, nullptr, 0, &result, NCRYPT_PAD_PKCS1_FLAG));
    check("Decrypt no result", NTE_INVALID_PARAMETER,
          provider->Decrypt(prov, key, ciphertext.data(), kKeyBytes, nullptr, nullptr, 0, nullptr,
                            NCRYPT_PAD_PKCS1_FLAG));
    check("Encrypt no input", NTE_INVALID_PARAMETER,
          provider->Encrypt(prov, key, nullptr, 4, nullptr, nullptr, 0, &result, NCRYPT_PAD_PKCS1_FLAG));
    check("Encrypt empty input", NTE_INVALID_PARAMETER,
          provider->Encrypt(prov, key, plaintext.data(), 0, nullptr, nullptr, 0, &result, NCRYPT_PAD_PKCS1_FLAG));
    check("Encrypt no result", NTE_INVALID_PARAMETER,
          provider->Encrypt(prov, key, plaintext.data(), 4, nullptr, nullptr, 0, nullptr, NCRYPT_PAD_PKCS1_FLAG));
    check("VerifySignature no hash", NTE_INVALID_PARAMETER,
          provider->VerifySignature(prov, key, &pkcs1, nullptr, 32, sig, kKeyBytes, NCRYPT_PAD_PKCS1_FLAG));
    check("VerifySignature empty hash", NTE_INVALID_PARAMETER,
          provider->VerifySignature(prov, key, &pkcs1, hash.data(), 0, sig, kKeyBytes, NCRYPT_PAD_PKCS1_FLAG));
    check("ExportKey no result", NTE_INVALID_PARAMETER,
          provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, nullptr, 0));
    check("ExportKey no blob type", NTE_INVALID_PARAMETER,
          provider->ExportKey(prov, key, 0, nullptr, nullptr, nullptr, 0, &result, 0));
    EXPECT_EQ(zt::kResultSentinel, result);
    // A signature absent with a length: BCrypt's answer, no crash, no success.
    ++calls;
    EXPECT_NE(0, provider->VerifySignature(prov, key, &pkcs1, hash.data(), 32, nullptr, kKeyBytes,
                                           NCRYPT_PAD_PKCS1_FLAG));

    // Every property with a buffer one byte short and with a zero-size
    // buffer: too small, the size set, nothing written.
    static const wchar_t* const kProviderProps[] = {L"Impl Type", L"Max Name Length", L"Name", L"Version",
                                                    L"Security Descr Support"};
    static const wchar_t* const kKeyProps[] = {L"Algorithm Name", L"Block Length", L"Export Policy", L"Key Usage",
                                               L"Key Type",       L"Length",       L"Lengths",       L"Name",
                                               L"Algorithm Group", L"Unique Name"};
    for (int pass = 0; pass < 2; ++pass) {
        const bool keys = pass == 1;
        const size_t n = keys ? 10 : 5;
        for (size_t i = 0; i < n; ++i) {
            const wchar_t* name = keys ? kKeyProps[i] : kProviderProps[i];
            DWORD needed = 0;
            const SECURITY_STATUS sized = keys ? provider->GetKeyProperty(prov, key, name, nullptr, 0, &needed, 0)
                                               : provider->GetProviderProperty(prov, name, nullptr, 0, &needed, 0);
            ASSERT_EQ(0, sized);
            ASSERT_GT(needed, 0u);
            for (DWORD size : {needed - 1, DWORD{0}}) {
                zt::GuardedBuffer out(size);
                DWORD got = zt::kResultSentinel;
                BYTE zero[1] = {zt::kGuardPattern};
                BYTE* data = size == 0 ? zero : out.data();  // present, even when of size 0
                const SECURITY_STATUS s = keys ? provider->GetKeyProperty(prov, key, name, data, size, &got, 0)
                                               : provider->GetProviderProperty(prov, name, data, size, &got, 0);
                ++calls;
                EXPECT_EQ(NTE_BUFFER_TOO_SMALL, s) << "size " << size;
                EXPECT_EQ(needed, got);
                EXPECT_TRUE(out.Untouched());
                EXPECT_EQ(zt::kGuardPattern, zero[0]);
            }
        }
    }
    // Remote results into short buffers.
    {
        zt::GuardedBuffer out(kKeyBytes - 1);
        result = zt::kResultSentinel;
        ++calls;
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->SignHash(prov, key, &pkcs1, hash.data(), 32, out.data(),
                                                          kKeyBytes - 1, &result, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(zt::kResultSentinel, result);
        EXPECT_TRUE(out.Untouched());
    }
    {
        zt::GuardedBuffer out(plaintext.size() - 1);
        result = zt::kResultSentinel;
        ++calls;
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL,
                  provider->Decrypt(prov, key, ciphertext.data(), kKeyBytes, nullptr, out.data(),
                                    static_cast<DWORD>(out.size()), &result, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(plaintext.size(), result);
        EXPECT_TRUE(out.Untouched());
    }
    for (const wchar_t* type : {BCRYPT_RSAPUBLIC_BLOB}) {
        DWORD needed = 0;
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, type, nullptr, nullptr, 0, &needed, 0));
        zt::GuardedBuffer out(needed - 1);
        ++calls;
        // BCrypt's answer (Windows: too small; Wine 8.0 trims), never a write past the buffer.
        const SECURITY_STATUS s = provider->ExportKey(prov, key, 0, type, nullptr, out.data(), needed - 1, &result, 0);
        EXPECT_TRUE(s == NTE_BUFFER_TOO_SMALL || s == 0) << s;
        EXPECT_TRUE(out.GuardsIntact());
    }
    {
        zt::GuardedBuffer out(kKeyBytes - 1);
        ++calls;
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL,
                  provider->Encrypt(prov, key, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                    out.data(), kKeyBytes - 1, &result, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_TRUE(out.GuardsIntact());
    }
    ExpectKeyUsable();
    g_calls += calls;
    std::printf("[bad input] absent and short buffers: %llu calls\n", static_cast<unsigned long long>(calls));
}

TEST_F(BadInput, MaximalAndOverflowingLengths)
{
    uint64_t calls = 0;
    DWORD result = zt::kResultSentinel;
    BYTE small[64] = {};
    // Lengths whose payload size would not fit in 32 bits are refused before
    // the data is read (the buffer is far shorter than the length claims).
    const DWORD nameBytes = sizeof kKeyName - 2;
    for (DWORD length : {DWORD{0xFFFFFFFF}, DWORD{0xFFFFFFFF - 12 - nameBytes + 1}, DWORD{0xFFFFFFF4}}) {
        zt::GuardedBuffer out(kKeyBytes);
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(prov, key, &pkcs1, small, length, out.data(), kKeyBytes,
                                                           &result, NCRYPT_PAD_PKCS1_FLAG))
            << length;
        EXPECT_TRUE(out.Untouched());
    }
    // Decrypt takes exactly the key's byte length; anything else is refused unread.
    for (DWORD length : {DWORD{1}, kKeyBytes - 1, kKeyBytes + 1, DWORD{0x7FFFFFFF}, DWORD{0xFFFFFFFF}}) {
        zt::GuardedBuffer out(kKeyBytes);
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(prov, key, small, length, nullptr, out.data(), kKeyBytes,
                                                          &result, NCRYPT_PAD_PKCS1_FLAG))
            << length;
        EXPECT_TRUE(out.Untouched());
    }
    EXPECT_EQ(zt::kResultSentinel, result);
    // Output sizes far beyond the value: exactly the value is written.
    for (const wchar_t* name : {L"Name", L"Length", L"Algorithm Group"}) {
        zt::GuardedBuffer out(512);
        DWORD got = 0;
        ++calls;
        ASSERT_EQ(0, provider->GetKeyProperty(prov, key, name, out.data(), 0xFFFFFFFF, &got, 0));
        const std::vector<BYTE> all = out.Contents(512);
        for (size_t i = got; i < all.size(); ++i) {
            ASSERT_EQ(zt::kGuardPattern, all[i]) << "byte " << i << " beyond the value";
        }
        EXPECT_TRUE(out.GuardsIntact());
    }
    {
        zt::GuardedBuffer out(512);
        DWORD got = 0;
        ++calls;
        ASSERT_EQ(0, provider->GetProviderProperty(prov, L"Name", out.data(), 0xFFFFFFFF, &got, 0));
        const std::vector<BYTE> all = out.Contents(512);
        for (size_t i = got; i < all.size(); ++i) {
            ASSERT_EQ(zt::kGuardPattern, all[i]);
        }
    }
    {
        zt::GuardedBuffer out(kKeyBytes);
        DWORD got = 0;
        ++calls;
        ASSERT_EQ(0, provider->SignHash(prov, key, &pkcs1, hash.data(), 32, out.data(), 0xFFFFFFFF, &got,
                                        NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(kKeyBytes, got);
        EXPECT_TRUE(out.GuardsIntact());
        ++calls;
        zt::GuardedBuffer plain(64);
        ASSERT_EQ(0, provider->Decrypt(prov, key, ciphertext.data(), kKeyBytes, nullptr, plain.data(), 0xFFFFFFFF,
                                       &got, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(plaintext, plain.Contents(got));
        const std::vector<BYTE> all = plain.Contents(64);
        for (size_t i = got; i < all.size(); ++i) {
            ASSERT_EQ(zt::kGuardPattern, all[i]);
        }
        EXPECT_TRUE(plain.GuardsIntact());
    }
    // Use Context of 0 bytes and of an odd size without terminator reads back bounded.
    {
        BYTE odd[3] = {'a', 0, 'b'};
        ++calls;
        ASSERT_EQ(0, provider->SetProviderProperty(prov, L"Use Context", odd + 2, 1, 0));
        zt::GuardedBuffer out(64);
        DWORD got = zt::kResultSentinel;
        const SECURITY_STATUS s = provider->GetProviderProperty(prov, L"Use Context", out.data(), 64, &got, 0);
        ++calls;
        EXPECT_EQ(0, s);
        EXPECT_TRUE(out.GuardsIntact());
        ++calls;
        ASSERT_EQ(0, provider->SetProviderProperty(prov, L"Use Context", odd, 0, 0));
        EXPECT_EQ(0, provider->GetProviderProperty(prov, L"Use Context", out.data(), 64, &got, 0));
        EXPECT_EQ(2u, got);
    }
    g_calls += calls;
    std::printf("[bad input] maximal and overflowing lengths: %llu calls\n", static_cast<unsigned long long>(calls));
}

// Names at their length limits, placed so that the next unit would be
// unreadable: the longest accepted name works, one unit more is refused, and
// no name is read beyond the units that decide.
TEST_F(BadInput, NamesAtTheLengthLimitsAgainstUnreadableMemory)
{
    PageEdge edge;
    uint64_t calls = 0;
    // Key names: 129 units and the terminator are accepted (and that key exists).
    {
        NCRYPT_KEY_HANDLE k = 0;
        const wchar_t* name = edge.Place(129, true, L'k');
        ++calls;
        ASSERT_EQ(0, provider->OpenKey(prov, &k, name, 0, 0));
        wchar_t back[140] = {};
        DWORD size = 0;
        EXPECT_EQ(0, provider->GetKeyProperty(prov, k, L"Name", reinterpret_cast<BYTE*>(back), sizeof back, &size, 0));
        EXPECT_EQ(kLongestKeyName, std::wstring(back));
        EXPECT_EQ(0, provider->FreeKey(prov, k));
    }
    {
        NCRYPT_KEY_HANDLE k = 0x77;
        const wchar_t* name = edge.Place(130, false, L'k');
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenKey(prov, &k, name, 0, 0));
        EXPECT_EQ(0x77u, k);
    }
    // Property names: 64 units are looked up, 65 unterminated are refused.
    {
        DWORD size = zt::kResultSentinel;
        ++calls;
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->GetProviderProperty(prov, edge.Place(64, true), nullptr, 0, &size, 0));
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  provider->GetProviderProperty(prov, edge.Place(65, false), nullptr, 0, &size, 0));
        ++calls;
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->GetKeyProperty(prov, key, edge.Place(64, true), nullptr, 0, &size, 0));
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  provider->GetKeyProperty(prov, key, edge.Place(65, false), nullptr, 0, &size, 0));
        BYTE in[2] = {};
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SetProviderProperty(prov, edge.Place(65, false), in, 2, 0));
        EXPECT_EQ(zt::kResultSentinel, size);
    }
    // Provider names: 32766 units and the terminator are accepted, 32767 unterminated refused.
    {
        NCRYPT_PROV_HANDLE h = 0;
        ++calls;
        ASSERT_EQ(0, provider->OpenProvider(&h, edge.Place(32766, true), 0));
        DWORD size = 0;
        EXPECT_EQ(0, provider->GetProviderProperty(h, L"Name", nullptr, 0, &size, 0));
        EXPECT_EQ(65534u, size);
        EXPECT_EQ(0, provider->FreeProvider(h));
        h = 0x77;
        ++calls;
        EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenProvider(&h, edge.Place(32767, false), 0));
        EXPECT_EQ(0x77u, h);
    }
    g_calls += calls;
    std::printf("[bad input] names at the length limits: %llu calls\n", static_cast<unsigned long long>(calls));
}

// Each of the 32 flag bits alone at every entry point that takes flags:
// refused with NTE_BAD_FLAGS (writing nothing) exactly where the mask says.
TEST_F(BadInput, EveryFlagBitAlone)
{
    uint64_t calls = 0;
    // A key handle of its own: a PSS verification would upset Wine's later
    // PKCS#1 use of the same handle.
    NCRYPT_KEY_HANDLE flagKey = 0;
    ASSERT_EQ(0, provider->OpenKey(prov, &flagKey, kKeyName, 0, 0));
    std::vector<BYTE> signature(kKeyBytes);
    DWORD size = 0;
    ASSERT_EQ(0, provider->SignHash(prov, key, &pkcs1, hash.data(), 32, signature.data(), kKeyBytes, &size,
                                    NCRYPT_PAD_PKCS1_FLAG));
    for (int bit = 0; bit < 32; ++bit) {
        const DWORD flag = 1u << bit;
        const std::string where = "flag 0x" + [&] {
            char t[12];
            std::snprintf(t, sizeof t, "%08lx", static_cast<unsigned long>(flag));
            return std::string(t);
        }();
        auto expectFlags = [&](const char* what, DWORD mask, SECURITY_STATUS s, bool untouched) {
            ++calls;
            if ((flag & ~mask) != 0) {
                EXPECT_EQ(NTE_BAD_FLAGS, s) << what << " " << where;
                EXPECT_TRUE(untouched) << what << " " << where << ": output written";
            } else {
                EXPECT_NE(NTE_BAD_FLAGS, s) << what << " " << where;
            }
        };
        zt::GuardedBuffer out(kKeyBytes);
        DWORD result = zt::kResultSentinel;
        auto clean = [&] { return out.Untouched() && result == zt::kResultSentinel; };
        auto reset = [&] {
            out.Refill();
            result = zt::kResultSentinel;
        };
        expectFlags("GetProviderProperty", 0x40,
                    provider->GetProviderProperty(prov, L"Name", out.data(), kKeyBytes, &result, flag), clean());
        reset();
        wchar_t context[] = L"ctx";
        expectFlags("SetProviderProperty", 0x40,
                    provider->SetProviderProperty(prov, L"Use Context", reinterpret_cast<BYTE*>(context),
                                                  sizeof context, flag),
                    true);
        expectFlags("IsAlgSupported", 0x40, provider->IsAlgSupported(prov, L"RSA", flag), true);
        DWORD count = zt::kResultSentinel;
        NCryptAlgorithmName* list = nullptr;
        const SECURITY_STATUS e = provider->EnumAlgorithms(prov, 0, &count, &list, flag);
        expectFlags("EnumAlgorithms", 0x40, e, count == zt::kResultSentinel && list == nullptr);
        if (e == 0) {
            SecureZeroMemory(list, sizeof(NCryptAlgorithmName) + 8);
            provider->FreeBuffer(list);
        }
        expectFlags("GetKeyProperty", 0x40000040,
                    provider->GetKeyProperty(prov, key, L"Length", out.data(), kKeyBytes, &result, flag), clean());
        reset();
        // "Security Descr" wants one of the five information bits, and only those and 0x40.
        ++calls;
        const SECURITY_STATUS sd = provider->GetKeyProperty(prov, key, L"Security Descr", out.data(), kKeyBytes,
                                                            &result, flag);
        EXPECT_EQ((flag & 0x1F) != 0 ? NTE_NOT_SUPPORTED : NTE_BAD_FLAGS, sd) << where;
        EXPECT_TRUE(clean());
        expectFlags("ExportKey", 0x840,
                    provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, out.data(), kKeyBytes, &result,
                                        flag),
                    clean());
        if (flag == 0x800) {
            EXPECT_TRUE(clean());
        }
        reset();
        const SECURITY_STATUS enc = provider->Encrypt(prov, flagKey, plaintext.data(),
                                                      static_cast<DWORD>(plaintext.size()), nullptr, out.data(),
                                                      kKeyBytes, &result, flag);
        expectFlags("Encrypt", 0x47, enc, clean());
        EXPECT_TRUE(out.GuardsIntact());
        reset();
        if ((flag & ~0x47u) != 0) {
            // Allowed flags would cost an exchange each; the refusals come first.
            expectFlags("Decrypt", 0x47,
                        provider->Decrypt(prov, flagKey, ciphertext.data(), kKeyBytes, nullptr, out.data(), kKeyBytes,
                                          &result, flag),
                        clean());
            expectFlags("SignHash", 0x4A,
                        provider->SignHash(prov, flagKey, &pkcs1, hash.data(), 32, out.data(), kKeyBytes, &result,
                                           flag),
                        clean());
        }
        const SECURITY_STATUS ver = provider->VerifySignature(prov, flagKey, &pkcs1, hash.data(), 32,
                                                              signature.data(), kKeyBytes, flag);
        expectFlags("VerifySignature", 0x4A, ver, true);
        if (flag == NCRYPT_PAD_PKCS1_FLAG) {
            EXPECT_EQ(0, ver);
        }
        // OpenProvider and OpenKey do not examine their flags.
        NCRYPT_PROV_HANDLE h = 0;
        ++calls;
        EXPECT_EQ(0, provider->OpenProvider(&h, L"flags", flag)) << where;
        EXPECT_EQ(0, provider->FreeProvider(h));
        NCRYPT_KEY_HANDLE k = 0;
        ++calls;
        EXPECT_EQ(0, provider->OpenKey(prov, &k, kKeyName, 0, flag)) << where;
        EXPECT_EQ(0, provider->FreeKey(prov, k));
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_EQ(0, provider->FreeKey(prov, flagKey));
    ExpectKeyUsable();
    g_calls += calls;
    std::printf("[bad input] every flag bit alone: %llu calls\n", static_cast<unsigned long long>(calls));
}

}  // namespace
