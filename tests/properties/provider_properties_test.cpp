#include "guarded_string.h"
#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;

class ProviderProperties : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_EQ(0, provider->OpenProvider(&prov, kProviderName, 0));
    }
    void TearDown() override
    {
        if (prov != 0) {
            EXPECT_EQ(0, provider->FreeProvider(prov));
        }
    }
    SECURITY_STATUS Get(const wchar_t* name, BYTE* out, DWORD size, DWORD* result, DWORD flags = 0)
    {
        return provider->GetProviderProperty(prov, name, out, size, result, flags);
    }
    SECURITY_STATUS Set(const wchar_t* name, const void* in, DWORD size, DWORD flags = 0)
    {
        return provider->SetProviderProperty(prov, name, static_cast<PBYTE>(const_cast<void*>(in)), size, flags);
    }
    // Reads a property fully, expecting success.
    std::vector<BYTE> Read(const wchar_t* name)
    {
        DWORD size = 0;
        EXPECT_EQ(0, Get(name, nullptr, 0, &size));
        std::vector<BYTE> out(size + 8, 0xEE);
        DWORD written = 0;
        EXPECT_EQ(0, Get(name, out.data(), size, &written));
        EXPECT_EQ(size, written);
        for (size_t i = size; i < out.size(); ++i) {
            EXPECT_EQ(0xEE, out[i]) << "wrote past the value at " << i;
        }
        out.resize(size);
        return out;
    }
    static std::vector<BYTE> Bytes(const wchar_t* s, size_t unitsWithTerminator)
    {
        const auto* p = reinterpret_cast<const BYTE*>(s);
        return std::vector<BYTE>(p, p + unitsWithTerminator * 2);
    }

    static constexpr const wchar_t* kProviderName = L"Zentrava Key Storage Provider";
    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
};

TEST_F(ProviderProperties, NumericValues)
{
    const struct {
        const wchar_t* name;
        DWORD value;
    } expected[] = {{L"Impl Type", 2}, {L"Max Name Length", 260}, {L"Version", 0x00010000}, {L"Security Descr Support", 1}};
    for (const auto& e : expected) {
        DWORD size = kUntouched;
        ASSERT_EQ(0, Get(e.name, nullptr, 0, &size)) << e.name;
        EXPECT_EQ(4u, size);
        DWORD value = 0;
        size = 0;
        ASSERT_EQ(0, Get(e.name, reinterpret_cast<BYTE*>(&value), 4, &size, NCRYPT_SILENT_FLAG));
        EXPECT_EQ(e.value, value) << e.name;
        EXPECT_EQ(4u, size);
        size = kUntouched;
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(e.name, reinterpret_cast<BYTE*>(&value), 3, &size));
        EXPECT_EQ(4u, size);
    }
}

TEST_F(ProviderProperties, NameSizeQueryExactBufferAndOneByteShort)
{
    const DWORD full = static_cast<DWORD>(2 * wcslen(kProviderName) + 2);
    EXPECT_EQ(Bytes(kProviderName, wcslen(kProviderName) + 1), Read(L"Name"));

    std::vector<BYTE> buffer(full, 0xEE);
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(L"Name", buffer.data(), full - 1, &size));
    EXPECT_EQ(full, size);
    EXPECT_EQ(std::vector<BYTE>(full, 0xEE), buffer) << "nothing written on a short buffer";
}

TEST_F(ProviderProperties, NameOfEmptyProviderIsTheTerminator)
{
    NCRYPT_PROV_HANDLE empty = 0;
    ASSERT_EQ(0, provider->OpenProvider(&empty, L"", 0));
    DWORD size = 0;
    BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, provider->GetProviderProperty(empty, L"Name", out, sizeof out, &size, 0));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, out[1]);
    EXPECT_EQ(0xEE, out[2]);
    EXPECT_EQ(0, provider->FreeProvider(empty));
}

TEST_F(ProviderProperties, NamesMatchExactlyOnly)
{
    std::wstring name64(64, L'q');
    for (const wchar_t* name : {L"name", L"NAME", L"Name ", L"Nam", L"Security Descr", L"Impl Type\t", L"",
                                L"Key Usage", L"Algorithm Group", name64.c_str()}) {
        DWORD size = kUntouched;
        EXPECT_EQ(NTE_NOT_SUPPORTED, Get(name, nullptr, 0, &size)) << "'" << std::string(name, name + wcslen(name)) << "'";
        EXPECT_EQ(kUntouched, size);
    }
}

TEST_F(ProviderProperties, CheckOrder)
{
    DWORD size = kUntouched;
    std::wstring name65(65, L'q');
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->GetProviderProperty(0, nullptr, nullptr, 0, nullptr, 0xFFFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(nullptr, nullptr, 0, &size, 0xFFFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(L"Name", nullptr, 0, nullptr, 0xFFFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(name65.c_str(), nullptr, 0, &size, 0xFFFF));
    EXPECT_EQ(NTE_BAD_FLAGS, Get(L"no such", nullptr, 0, &size, 0x80000000));
    EXPECT_EQ(NTE_BAD_FLAGS, Get(L"Name", nullptr, 0, &size, 0x41));
    EXPECT_EQ(kUntouched, size);

    // A forged record is refused before anything else.
    struct {
        uint32_t length, tag;
        BYTE rest[64];
    } forged{39, 0x53504C50, {}};
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->GetProviderProperty(reinterpret_cast<NCRYPT_PROV_HANDLE>(&forged), L"Name",
                                                               nullptr, 0, &size, 0));
    forged.length = 40;
    forged.tag = 0x53504C4B;
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->SetProviderProperty(reinterpret_cast<NCRYPT_PROV_HANDLE>(&forged),
                                                               L"Use Context", forged.rest, 2, 0));
}

// An over-long name is refused after reading at most 65 units: here the 66th
// unit would lie on an inaccessible page.
TEST_F(ProviderProperties, OverlongUnterminatedNamesAreReadBoundedly)
{
    zt::GuardedString name(std::wstring(65, L'N'));
    ASSERT_NE(nullptr, name.get());
    DWORD size = kUntouched;
    BYTE in[2] = {};
    EXPECT_EQ(NTE_INVALID_PARAMETER, Get(name.get(), nullptr, 0, &size));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Set(name.get(), in, sizeof in));
    EXPECT_EQ(kUntouched, size);
}

TEST_F(ProviderProperties, UseContextUnsetIsInternalErrorAndSizeUntouched)
{
    DWORD size = kUntouched;
    BYTE out[16];
    EXPECT_EQ(NTE_INTERNAL_ERROR, Get(L"Use Context", nullptr, 0, &size));
    EXPECT_EQ(NTE_INTERNAL_ERROR, Get(L"Use Context", out, sizeof out, &size));
    EXPECT_EQ(kUntouched, size);
}

TEST_F(ProviderProperties, UseContextSetTwiceReadsSecondValue)
{
    const wchar_t first[] = L"first context";
    const wchar_t second[] = L"ctx2";
    ASSERT_EQ(0, Set(L"Use Context", first, sizeof first));
    ASSERT_EQ(0, Set(L"Use Context", second, sizeof second, NCRYPT_SILENT_FLAG));
    EXPECT_EQ(Bytes(second, 5), Read(L"Use Context"));
}

TEST_F(ProviderProperties, UseContextReadsUpToFirstTerminator)
{
    const wchar_t value[] = L"ab\0cdef";
    ASSERT_EQ(0, Set(L"Use Context", value, sizeof value));
    EXPECT_EQ(Bytes(L"ab", 3), Read(L"Use Context"));
}

// Values without a NUL inside the stored bytes: read back cut at the stored
// size with a terminator added; a trailing odd byte is not part of any unit.
TEST_F(ProviderProperties, UseContextWithoutTerminatorIsBoundedByStoredSize)
{
    const wchar_t value[] = L"abcd";
    ASSERT_EQ(0, Set(L"Use Context", value, 8));  // no terminator
    EXPECT_EQ(Bytes(L"abcd", 5), Read(L"Use Context"));

    ASSERT_EQ(0, Set(L"Use Context", value, 5));  // "ab" and half a unit
    EXPECT_EQ(Bytes(L"ab", 3), Read(L"Use Context"));

    ASSERT_EQ(0, Set(L"Use Context", value, 1));
    EXPECT_EQ(Bytes(L"", 1), Read(L"Use Context"));

    ASSERT_EQ(0, Set(L"Use Context", value, 0));
    EXPECT_EQ(Bytes(L"", 1), Read(L"Use Context"));

    DWORD size = 0;
    BYTE out[2] = {0xEE, 0xEE};
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, Get(L"Use Context", out, 1, &size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0xEE, out[0]);
}

TEST_F(ProviderProperties, SetRefusalsLeaveStoredValue)
{
    const wchar_t value[] = L"kept";
    ASSERT_EQ(0, Set(L"Use Context", value, sizeof value));
    std::wstring name65(65, L'q');
    EXPECT_EQ(NTE_NOT_SUPPORTED, Set(L"Name", value, sizeof value));
    EXPECT_EQ(NTE_NOT_SUPPORTED, Set(L"Version", value, sizeof value));
    EXPECT_EQ(NTE_NOT_SUPPORTED, Set(L"use context", value, sizeof value));
    EXPECT_EQ(NTE_BAD_FLAGS, Set(L"Use Context", L"x", 4, 0x80000000));
    EXPECT_EQ(NTE_BAD_FLAGS, Set(L"Name", L"x", 4, 0x80000000)) << "flags before the name";
    EXPECT_EQ(NTE_INVALID_PARAMETER, Set(L"Use Context", nullptr, 0, 0x80000000));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Set(nullptr, value, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, Set(name65.c_str(), value, 2, 0x80000000));
    EXPECT_EQ(Bytes(value, 5), Read(L"Use Context"));
}

TEST_F(ProviderProperties, UseContextMemoryIsWipedAndReleased)
{
    zt::Interposer spy(provider.module());
    const wchar_t secret[] = L"context-secret";
    spy.WatchSecret("use context", secret, sizeof secret - 2);
    ASSERT_EQ(0, Set(L"Use Context", secret, sizeof secret));
    ASSERT_EQ(0, Set(L"Use Context", L"other", 12));
    EXPECT_EQ(1u, spy.LiveBlocks());
    EXPECT_EQ(0, provider->FreeProvider(prov));
    prov = 0;
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
    EXPECT_TRUE(spy.SecretHits().empty());
}

TEST_F(ProviderProperties, UseContextOutOfMemoryLeavesNone)
{
    const wchar_t value[] = L"old";
    ASSERT_EQ(0, Set(L"Use Context", value, sizeof value));
    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::HeapAlloc, 1);
    EXPECT_EQ(NTE_NO_MEMORY, Set(L"Use Context", L"new", 8));
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::HeapFree)) << "the old value is released first";
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INTERNAL_ERROR, Get(L"Use Context", nullptr, 0, &size));
    EXPECT_EQ(kUntouched, size);
    EXPECT_EQ(0u, spy.LiveBlocks());
}

TEST_F(ProviderProperties, PropertiesDoNotReachPlatformCrypto)
{
    zt::Interposer spy(provider.module());
    Read(L"Name");
    Read(L"Version");
    ASSERT_EQ(0, Set(L"Use Context", L"x", 4));
    Read(L"Use Context");
    for (const auto& call : spy.Calls()) {
        EXPECT_TRUE(call.fn == zt::Fn::HeapAlloc || call.fn == zt::Fn::HeapFree) << zt::FnName(call.fn);
    }
}

}  // namespace
