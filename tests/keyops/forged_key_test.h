// The fixture the key operation suites share: one 2048-bit test key per suite
// and, for each test, the loaded DLL, a provider handle and a key handle
// record around the key's public half, so the operations run without a
// signing service.
#pragma once

#include "provider_loader.h"
#include "test_key.h"

#include <gtest/gtest.h>

#include <memory>

namespace zt {

class ForgedKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { rsa = std::make_unique<TestRsaKey>(2048); }
    static void TearDownTestSuite() { rsa.reset(); }
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(rsa->ok());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
        key = std::make_unique<ForgedKeyHandle>(*rsa, L"k");
    }
    void TearDown() override
    {
        key.reset();
        if (prov != 0) {
            EXPECT_EQ(0, provider->FreeProvider(prov));
        }
    }

    static inline std::unique_ptr<TestRsaKey> rsa;
    LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
    std::unique_ptr<ForgedKeyHandle> key;
};

}  // namespace zt
