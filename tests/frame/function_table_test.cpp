#include "ksp_status.h"
#include "provider_loader.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class FunctionTable : public ::testing::Test {
protected:
    zt::LoadedProvider provider;
};

TEST_F(FunctionTable, SameConstantTableWithVersionOneZero)
{
    ASSERT_TRUE(provider.ok());
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* first = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* second = nullptr;
    ASSERT_EQ(0, provider.entry()(L"Zentrava Key Storage Provider", &first, 0));
    // Name and flags are not examined.
    ASSERT_EQ(0, provider.entry()(L"anything else", &second, 0xFFFFFFFF));
    EXPECT_EQ(first, second);
    EXPECT_EQ(1, first->Version.MajorVersion);
    EXPECT_EQ(0, first->Version.MinorVersion);

    // The table lives in read-only data: nobody can change it at run time.
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(0u, VirtualQuery(first, &info, sizeof info));
    EXPECT_EQ(PAGE_READONLY, info.Protect & 0xFF);
}

TEST_F(FunctionTable, NullOutPointerIsRefused)
{
    ASSERT_TRUE(provider.ok());
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider.entry()(L"x", nullptr, 0));
}

TEST_F(FunctionTable, OperationSlotsFilledAndLaterMembersNull)
{
    ASSERT_TRUE(provider.ok());
    const auto& t = provider.table();
    EXPECT_EQ(nullptr, t.EnumKeys);
    EXPECT_EQ(nullptr, t.KeyDerivation);
    EXPECT_EQ(nullptr, t.CreateClaim);
    EXPECT_EQ(nullptr, t.VerifyClaim);
    const void* filled[] = {
        reinterpret_cast<const void*>(t.OpenProvider), reinterpret_cast<const void*>(t.OpenKey),
        reinterpret_cast<const void*>(t.CreatePersistedKey), reinterpret_cast<const void*>(t.GetProviderProperty),
        reinterpret_cast<const void*>(t.GetKeyProperty), reinterpret_cast<const void*>(t.SetProviderProperty),
        reinterpret_cast<const void*>(t.SetKeyProperty), reinterpret_cast<const void*>(t.FinalizeKey),
        reinterpret_cast<const void*>(t.DeleteKey), reinterpret_cast<const void*>(t.FreeProvider),
        reinterpret_cast<const void*>(t.FreeKey), reinterpret_cast<const void*>(t.FreeBuffer),
        reinterpret_cast<const void*>(t.Encrypt), reinterpret_cast<const void*>(t.Decrypt),
        reinterpret_cast<const void*>(t.IsAlgSupported), reinterpret_cast<const void*>(t.EnumAlgorithms),
        reinterpret_cast<const void*>(t.ImportKey), reinterpret_cast<const void*>(t.ExportKey),
        reinterpret_cast<const void*>(t.SignHash), reinterpret_cast<const void*>(t.VerifySignature),
        reinterpret_cast<const void*>(t.PromptUser), reinterpret_cast<const void*>(t.NotifyChangeKey),
        reinterpret_cast<const void*>(t.SecretAgreement), reinterpret_cast<const void*>(t.DeriveKey),
        reinterpret_cast<const void*>(t.FreeSecret)};
    for (size_t i = 0; i < sizeof filled / sizeof filled[0]; ++i) {
        EXPECT_NE(nullptr, filled[i]) << "slot " << i;
    }
}

// Each not-supported slot answers NTE_NOT_SUPPORTED and writes nothing.
TEST_F(FunctionTable, NotSupportedSlotsTouchNothing)
{
    ASSERT_TRUE(provider.ok());
    const auto& t = provider.table();
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, t.OpenProvider(&prov, L"p", 0));

    // Sentinels: any write shows up as a changed value.
    const auto sentinel = static_cast<ULONG_PTR>(0xA5A5A5A5A5A5A5A5ull);  // pointer-wide
    NCRYPT_KEY_HANDLE keyOut = sentinel;
    HANDLE eventOut = reinterpret_cast<HANDLE>(sentinel);
    NCRYPT_SECRET_HANDLE secretOut = sentinel;
    DWORD result = 0xA5A5A5A5;
    BYTE buffer[16];
    std::memset(buffer, 0xA5, sizeof buffer);
    BYTE before[sizeof buffer];
    std::memcpy(before, buffer, sizeof buffer);
    BYTE providerBefore[40];
    std::memcpy(providerBefore, reinterpret_cast<void*>(prov), sizeof providerBefore);

    EXPECT_EQ(NTE_NOT_SUPPORTED, t.CreatePersistedKey(prov, &keyOut, L"RSA", L"k", 0, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.SetKeyProperty(prov, sentinel, L"Length", buffer, sizeof buffer, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FinalizeKey(prov, sentinel, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.DeleteKey(prov, sentinel, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.ImportKey(prov, 0, L"RSAPUBLICBLOB", nullptr, &keyOut, buffer, sizeof buffer, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.PromptUser(prov, sentinel, L"op", 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.NotifyChangeKey(prov, &eventOut, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.SecretAgreement(prov, sentinel, sentinel, &secretOut, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.DeriveKey(prov, sentinel, L"HASH", nullptr, buffer, sizeof buffer, &result, 0));
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.FreeSecret(prov, sentinel));
    // Garbage handles are never looked at.
    EXPECT_EQ(NTE_NOT_SUPPORTED, t.DeleteKey(0x10, 0x20, 0xFFFFFFFF));

    EXPECT_EQ(sentinel, keyOut);
    EXPECT_EQ(reinterpret_cast<HANDLE>(sentinel), eventOut);
    EXPECT_EQ(sentinel, secretOut);
    EXPECT_EQ(0xA5A5A5A5u, result);
    EXPECT_EQ(0, std::memcmp(before, buffer, sizeof buffer));
    EXPECT_EQ(0, std::memcmp(providerBefore, reinterpret_cast<void*>(prov), sizeof providerBefore));
    EXPECT_EQ(0, t.FreeProvider(prov));
}

TEST_F(FunctionTable, FreeBufferOfNullSucceeds)
{
    ASSERT_TRUE(provider.ok());
    EXPECT_EQ(0, provider->FreeBuffer(nullptr));
}

TEST_F(FunctionTable, FreeBufferReleasesProcessHeapBlock)
{
    ASSERT_TRUE(provider.ok());
    void* block = HeapAlloc(GetProcessHeap(), 0, 64);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(0, provider->FreeBuffer(block));
}

}  // namespace
