#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

class ProviderHandles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(provider.ok()); }
    zt::LoadedProvider provider;
};

struct FakeRecord {
    uint32_t length;
    uint32_t tag;
    BYTE rest[200];
};

TEST_F(ProviderHandles, OpenAcceptsAnyNameAndFreeReleases)
{
    zt::Interposer spy(provider.module());
    for (const wchar_t* name : {L"", L"Zentrava Key Storage Provider", L"some other name"}) {
        NCRYPT_PROV_HANDLE h = 0;
        ASSERT_EQ(0, provider->OpenProvider(&h, name, 0xFFFFFFFF)) << "flags are not examined";
        auto* rec = reinterpret_cast<const uint32_t*>(h);
        const uint32_t n = static_cast<uint32_t>((wcslen(name) + 1) * 2);
        EXPECT_EQ(40 + n, rec[0]);
        EXPECT_EQ(0, std::memcmp(&rec[1], "PLPS", 4));
        EXPECT_EQ(0, provider->FreeProvider(h));
    }
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
    EXPECT_EQ(3u, spy.CallCount(zt::Fn::HeapFree));
}

TEST_F(ProviderHandles, OpenRefusesNullArguments)
{
    NCRYPT_PROV_HANDLE h = 0x1234;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenProvider(nullptr, L"p", 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenProvider(&h, nullptr, 0));
    EXPECT_EQ(0x1234u, h);
}

TEST_F(ProviderHandles, NameLengthLimit)
{
    zt::Interposer spy(provider.module());
    std::wstring longest(32766, L'x');  // 65534 bytes with the terminator
    NCRYPT_PROV_HANDLE h = 0;
    ASSERT_EQ(0, provider->OpenProvider(&h, longest.c_str(), 0));
    EXPECT_EQ(40u + 65534u, *reinterpret_cast<const uint32_t*>(h));
    EXPECT_EQ(0, provider->FreeProvider(h));

    std::wstring tooLong(32767, L'x');
    h = 0x77;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenProvider(&h, tooLong.c_str(), 0));
    EXPECT_EQ(0x77u, h);
    // Refused before allocating.
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::HeapAlloc));
    EXPECT_EQ(0u, spy.LiveBlocks());
}

TEST_F(ProviderHandles, OpenWithoutMemory)
{
    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::HeapAlloc, 1);
    NCRYPT_PROV_HANDLE h = 0x55;
    EXPECT_EQ(NTE_NO_MEMORY, provider->OpenProvider(&h, L"p", 0));
    EXPECT_EQ(0x55u, h);
    EXPECT_EQ(0u, spy.LiveBlocks());
}

TEST_F(ProviderHandles, ValidationOfLengthAndTag)
{
    FakeRecord rec{};
    std::memcpy(&rec.tag, "PLPS", 4);
    auto handle = reinterpret_cast<NCRYPT_PROV_HANDLE>(&rec);

    rec.length = 39;
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeProvider(handle));
    EXPECT_EQ(39u, rec.length) << "a refused handle is not touched";

    std::memcpy(&rec.tag, "KLPS", 4);  // a key record is not a provider
    rec.length = 176;
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeProvider(handle));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeProvider(0));

    // FreeKey checks the provider handle, then the key handle.
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    FakeRecord key{};
    key.length = 175;
    std::memcpy(&key.tag, "KLPS", 4);
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeKey(prov, reinterpret_cast<NCRYPT_KEY_HANDLE>(&key)));
    key.length = 176;
    std::memcpy(&key.tag, "PLPS", 4);
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeKey(prov, reinterpret_cast<NCRYPT_KEY_HANDLE>(&key)));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeKey(prov, 0));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->FreeKey(0, reinterpret_cast<NCRYPT_KEY_HANDLE>(&key)));
    EXPECT_EQ(176u, key.length);
    EXPECT_EQ(0, provider->FreeProvider(prov));
}

TEST_F(ProviderHandles, LongerRecordPassesValidation)
{
    // A provider record of exactly 40 bytes (empty name would be 42) is still
    // a provider record; validation only demands "at least".
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"", 0));
    EXPECT_EQ(42u, *reinterpret_cast<const uint32_t*>(prov));
    EXPECT_EQ(0, provider->FreeProvider(prov));
}

}  // namespace
