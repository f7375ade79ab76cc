#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class Algorithms : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    }
    void TearDown() override { EXPECT_EQ(0, provider->FreeProvider(prov)); }
    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
};

TEST_F(Algorithms, IsAlgSupportedOnlyForExactRsa)
{
    EXPECT_EQ(0, provider->IsAlgSupported(prov, L"RSA", 0));
    EXPECT_EQ(0, provider->IsAlgSupported(prov, L"RSA", NCRYPT_SILENT_FLAG));
    for (const wchar_t* id : {L"rsa", L"Rsa", L"RSA ", L"RSAX", L"RS", L"", L"ECDSA_P256", L"AES"}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->IsAlgSupported(prov, id, 0)) << std::string(id, id + wcslen(id));
    }
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->IsAlgSupported(0, L"RSA", 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->IsAlgSupported(prov, nullptr, 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->IsAlgSupported(prov, L"RSA", 0x1));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->IsAlgSupported(prov, L"nope", 0x80000040));
}

TEST_F(Algorithms, EnumHandsOutOneRsaRecordInOneBlock)
{
    zt::Interposer spy(provider.module());
    for (DWORD mask : {0x0u, 0x4u, 0x10u, 0x11u, 0x14u, 0xFFFFFFFFu}) {
        DWORD count = 0;
        NCryptAlgorithmName* list = nullptr;
        ASSERT_EQ(0, provider->EnumAlgorithms(prov, mask, &count, &list, mask == 0 ? NCRYPT_SILENT_FLAG : 0)) << mask;
        ASSERT_EQ(1u, count);
        ASSERT_NE(nullptr, list);
        EXPECT_STREQ(L"RSA", list->pszName);
        EXPECT_EQ(3u, list->dwClass);
        EXPECT_EQ(0x14u, list->dwAlgOperations);
        EXPECT_EQ(0u, list->dwFlags);
        // The name lies directly behind the record, inside the same block.
        EXPECT_EQ(reinterpret_cast<BYTE*>(list) + sizeof(NCryptAlgorithmName), reinterpret_cast<BYTE*>(list->pszName));
        EXPECT_EQ(1u, spy.LiveBlocks());
        EXPECT_EQ(0, provider->FreeBuffer(list));
        EXPECT_EQ(0u, spy.LiveBlocks()) << "one FreeBuffer releases record and name";
    }
    EXPECT_EQ(6u, spy.CallCount(zt::Fn::HeapAlloc));
}

TEST_F(Algorithms, EnumRefusalsWriteNoOutput)
{
    const auto sentinelList = reinterpret_cast<NCryptAlgorithmName*>(0x5555);
    for (DWORD mask : {0x1u, 0x2u, 0x8u, 0x20u, 0x80000000u}) {
        DWORD count = 77;
        NCryptAlgorithmName* list = sentinelList;
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->EnumAlgorithms(prov, mask, &count, &list, 0)) << mask;
        EXPECT_EQ(77u, count);
        EXPECT_EQ(sentinelList, list);
    }
    DWORD count = 77;
    NCryptAlgorithmName* list = sentinelList;
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->EnumAlgorithms(0, 0, &count, &list, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->EnumAlgorithms(prov, 0, nullptr, &list, 0x8));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->EnumAlgorithms(prov, 0, &count, nullptr, 0x8));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->EnumAlgorithms(prov, 0x1, &count, &list, 0x8)) << "flags before the mask";

    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::HeapAlloc, 1);
    EXPECT_EQ(NTE_NO_MEMORY, provider->EnumAlgorithms(prov, 0, &count, &list, 0));
    EXPECT_EQ(77u, count);
    EXPECT_EQ(sentinelList, list);
}

}  // namespace
