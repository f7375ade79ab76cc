#include "interposer.h"
#include "provider_loader.h"

#include <gtest/gtest.h>

namespace {

TEST(Unload, WithoutKeysClosesNothing)
{
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    zt::Interposer spy(provider.module());
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    ASSERT_EQ(0, provider->FreeProvider(prov));
    provider.Unload();
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptCloseAlgorithmProvider));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptOpenAlgorithmProvider));
}

}  // namespace
