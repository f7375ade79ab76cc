#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"
#include "test_key.h"
#include "wine_stand_ins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002L);

class KeyProperties : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        key2048 = std::make_unique<zt::TestRsaKey>(2048);
        key1024 = std::make_unique<zt::TestRsaKey>(1024);
    }
    static void TearDownTestSuite()
    {
        key2048.reset();
        key1024.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(key2048->ok());
        ASSERT_TRUE(key1024->ok());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    }
    void TearDown() override { EXPECT_EQ(0, provider->FreeProvider(prov)); }

    SECURITY_STATUS Get(NCRYPT_KEY_HANDLE key, const wchar_t* name, void* out, DWORD size, DWORD* result,
                        DWORD flags = 0)
    {
        return provider->GetKeyProperty(prov, key, name, static_cast<PBYTE>(out), size, result, flags);
    }
    DWORD Number(NCRYPT_KEY_HANDLE key, const wchar_t* name, DWORD flags = 0)
    {
        DWORD size = 0;
        EXPECT_EQ(0, Get(key, name, nullptr, 0, &size, flags)) << "size query";
        EXPECT_EQ(4u, size);
        DWORD value = kUntouched;
        EXPECT_EQ(0, Get(key, name, &value, 4, &size, flags));
        return value;
    }
    std::vector<BYTE> Bytes(NCRYPT_KEY_HANDLE key, const wchar_t* name)
    {
        DWORD size = 0;
        EXPECT_EQ(0, Get(key, name, nullptr, 0, &size));
        std::vector<BYTE> out(size + 4, 0xEE);
        EXPECT_EQ(0, Get(key, name, out.data(), size, &size));
        EXPECT_EQ(std::vector<BYTE>(4, 0xEE), std::vector<BYTE>(out.end() - 4, out.end())) << "wrote past the value";
        out.resize(size);
        return out;
    }
    static std::vector<BYTE> Wide(const wchar_t* s)
    {
        const auto* p = reinterpret_cast<const BYTE*>(s);
        return std::vector<BYTE>(p, p + 2 * (std::wcslen(s) + 1));
    }

    static std::unique_ptr<zt::TestRsaKey> key2048;
    static std::unique_ptr<zt::TestRsaKey> key1024;
    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
};
std::unique_ptr<zt::TestRsaKey> KeyProperties::key2048;
std::unique_ptr<zt::TestRsaKey> KeyProperties::key1024;

TEST_F(KeyProperties, FixedAndLengthValuesForTwoKeySizes)
{
    for (zt::TestRsaKey* k : {key2048.get(), key1024.get()}) {
        zt::ForgedKeyHandle key(*k, L"signing-key");
        EXPECT_EQ(k->bits(), Number(key.handle(), L"Length"));
        EXPECT_EQ(k->bits() / 8, Number(key.handle(), L"Block Length"));
        EXPECT_EQ(0u, Number(key.handle(), L"Export Policy"));
        EXPECT_EQ(3u, Number(key.handle(), L"Key Usage", NCRYPT_SILENT_FLAG));
        EXPECT_EQ(0u, Number(key.handle(), L"Key Type", 0x40000000));
        EXPECT_EQ(Wide(L"RSA"), Bytes(key.handle(), L"Algorithm Name"));
        EXPECT_EQ(Wide(L"RSA"), Bytes(key.handle(), L"Algorithm Group"));
        EXPECT_EQ(Wide(L"signing-key"), Bytes(key.handle(), L"Name"));
        EXPECT_EQ(Wide(L"signing-key"), Bytes(key.handle(), L"Unique Name"));
    }
}

TEST_F(KeyProperties, BlockLengthRoundsPartBytesUp)
{
    zt::ForgedKeyHandle key(*key1024, L"k");
    key.record().keyLengthBits = 1025;
    EXPECT_EQ(129u, Number(key.handle(), L"Block Length"));
    key.record().keyLengthBits = 0xFFFFFFFF;  // 32-bit arithmetic, as the field
    EXPECT_EQ(0u, Number(key.handle(), L"Block Length"));
}

TEST_F(KeyProperties, NameWithoutKeyNameIsNotSupported)
{
    zt::ForgedKeyHandle key(*key1024, nullptr);
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_NOT_SUPPORTED, Get(key.handle(), L"Name", nullptr, 0, &size));
    EXPECT_EQ(NTE_NOT_SUPPORTED, Get(key.handle(), L"Unique Name", nullptr, 0, &size));
    EXPECT_EQ(kUntouched, size);
}

TEST_F(KeyProperties, BufferTooSmallSetsSizeAndWritesNothing)
{
    zt::ForgedKeyHandle key(*key2048, L"abc");
    BYTE out[8];
    std::memset(out, 0xEE, sizeof out);
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(key.handle(), L"Name", out, 7, &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(key.handle(), L"Length", out, 3, &size));
    EXPECT_EQ(4u, size);
    for (BYTE b : out) {
        EXPECT_EQ(0xEE, b);
    }
}

TEST_F(KeyProperties, FlagRules)
{
    zt::ForgedKeyHandle key(*key1024, L"k");
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"Security Descr", nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"Security Descr", nullptr, 0, &size, 0x40));
    EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"Security Descr", nullptr, 0, &size, 0x40000004));
    EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"Security Descr", nullptr, 0, &size, 0x24));
    for (DWORD flags : {0x1u, 0x4u, 0x44u, 0x1Fu, 0x5Fu, 0x10u}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED, Get(key.handle(), L"Security Descr", nullptr, 0, &size, flags)) << flags;
    }
    for (DWORD flags : {0x40000000u, 0x40000040u}) {
        EXPECT_EQ(0, Get(key.handle(), L"Length", nullptr, 0, &size, flags));
    }
    size = kUntouched;
    for (DWORD flags : {0x4u, 0x80000000u, 0x1u}) {
        EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"Length", nullptr, 0, &size, flags));
        EXPECT_EQ(NTE_BAD_FLAGS, Get(key.handle(), L"unknown", nullptr, 0, &size, flags)) << "flags before lookup";
    }
    EXPECT_EQ(kUntouched, size);
}

TEST_F(KeyProperties, UnknownNamesAndCheckOrder)
{
    zt::ForgedKeyHandle key(*key1024, L"k");
    DWORD size = kUntouched;
    std::wstring name64(64, L'L');
    std::wstring name65(65, L'L');
    for (const wchar_t* name : {L"Impl Type", L"Version", L"Use Context", L"length", L"Length ", L"Lengt",
                                L"Security Descr Support", L"", name64.c_str()}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED, Get(key.handle(), name, nullptr, 0, &size)) << std::string(name, name + wcslen(name));
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(key.handle(), name65.c_str(), nullptr, 0, &size, 0x80000000));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(key.handle(), nullptr, nullptr, 0, &size, 0x80000000));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(key.handle(), L"Length", nullptr, 0, nullptr, 0x80000000));
    EXPECT_EQ(kUntouched, size);

    // Either handle invalid, before anything else.
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->GetKeyProperty(0, key.handle(), L"Length", nullptr, 0, &size, 0));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->GetKeyProperty(prov, 0, nullptr, nullptr, 0, nullptr, 0xFF));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->GetKeyProperty(key.handle(), prov, L"Length", nullptr, 0, &size, 0));
    key.record().length = 175;
    EXPECT_EQ(NTE_INVALID_HANDLE, Get(key.handle(), L"Length", nullptr, 0, &size));
    key.record().length = 176;

    // Any valid provider handle answers for any key.
    NCRYPT_PROV_HANDLE other = 0;
    ASSERT_EQ(0, provider->OpenProvider(&other, L"other", 0));
    EXPECT_EQ(0, provider->GetKeyProperty(other, key.handle(), L"Length", nullptr, 0, &size, 0));
    EXPECT_EQ(0, provider->FreeProvider(other));
}

TEST_F(KeyProperties, LengthsSizeQueryAndShortBufferDoNotAskBCrypt)
{
    zt::ForgedKeyHandle key(*key2048, L"k");
    zt::Interposer spy(provider.module());
    DWORD size = 0;
    EXPECT_EQ(0, Get(key.handle(), L"Lengths", nullptr, 0, &size));
    EXPECT_EQ(16u, size);
    BYTE out[12];
    size = 0;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(key.handle(), L"Lengths", out, sizeof out, &size));
    EXPECT_EQ(16u, size);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptGetProperty));
}

// Wine 8.0 lacks "KeyLengths" on RSA; the failure comes back unchanged,
// not translated, and the default length is not written.
TEST_F(KeyProperties, LengthsPassesBCryptFailureThroughUnchangedOnWine)
{
    zt::ForgedKeyHandle key(*key2048, L"k");
    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::BCryptGetProperty, 1);
    spy.SetFailureStatus(kStatusNotImplemented);
    DWORD out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    DWORD size = 0;
    EXPECT_EQ(kStatusNotImplemented, Get(key.handle(), L"Lengths", out, sizeof out, &size));
    EXPECT_EQ(16u, size);
    EXPECT_EQ(kUntouched, out[3]);

    spy.Reset();
    spy.FailNthCallOf(zt::Fn::BCryptGetProperty, 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC000000DL));  // would map to NTE_INVALID_PARAMETER
    EXPECT_EQ(static_cast<SECURITY_STATUS>(0xC000000DL), Get(key.handle(), L"Lengths", out, sizeof out, &size));
}

// Wine 8.0 lacks "KeyLengths" on RSA: the test stands in for that one
// BCrypt query with the values Windows gives.
TEST_F(KeyProperties, LengthsWithWineStandInForKeyLengths)
{
    zt::ForgedKeyHandle key(*key2048, L"k");
    zt::Interposer spy(provider.module());
    zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::KeyLengths);
    ASSERT_TRUE(standIn.active());
    DWORD out[5] = {0, 0, 0, 0, kUntouched};
    DWORD size = 0;
    ASSERT_EQ(0, Get(key.handle(), L"Lengths", out, 16, &size));
    EXPECT_EQ(16u, size);
    EXPECT_EQ(512u, out[0]);
    EXPECT_EQ(16384u, out[1]);
    EXPECT_EQ(64u, out[2]);
    EXPECT_EQ(1024u, out[3]);
    EXPECT_EQ(kUntouched, out[4]);
    EXPECT_EQ(key.record().rsaAlgorithm, zt::WindowsBCryptStandIn::LastHandle()) << "asked of the key's RSA algorithm handle";
}

}  // namespace
