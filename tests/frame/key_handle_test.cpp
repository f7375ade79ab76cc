// Key handle creation and destruction, and the shared RSA algorithm handle,
// tested on the provider's static library with this executable's own imports
// interposed.
#include "handles.h"
#include "interposer.h"
#include "ksp_status.h"
#include "shared_rsa.h"

#include <gtest/gtest.h>

#include <bcrypt.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

HMODULE Self()
{
    return GetModuleHandleW(nullptr);
}

class KeyHandles : public ::testing::Test {
protected:
    // Every test starts with no shared handle open.
    void SetUp() override { CloseSharedRsaAlgorithm(); }
    void TearDown() override { CloseSharedRsaAlgorithm(); }
};

TEST_F(KeyHandles, CreateFillsRecordAndDestroyWipesIt)
{
    zt::Interposer spy(Self());
    KeyHandle* key = nullptr;
    ASSERT_EQ(0, CreateKeyHandle(L"alpha", &key));
    EXPECT_EQ(176u, key->length);
    EXPECT_EQ(0, std::memcmp(&key->tag, "KLPS", 4));
    EXPECT_STREQ(L"alpha", key->keyName);
    EXPECT_EQ(0u, key->keyLengthBits);
    EXPECT_EQ(0u, key->exportPolicy);
    EXPECT_EQ(3u, key->keyUsage);
    EXPECT_EQ(0u, key->publicKeyLoaded);
    EXPECT_NE(nullptr, key->rsaAlgorithm);
    EXPECT_EQ(nullptr, key->publicKey);
    EXPECT_EQ(key, AsKeyHandle(reinterpret_cast<ULONG_PTR>(key)));

    EXPECT_EQ(0, DestroyKeyHandle(key));
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(2u, spy.CallCount(zt::Fn::HeapFree));
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
    // The shared handle stays open after the key is gone.
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::BCryptCloseAlgorithmProvider));
}

TEST_F(KeyHandles, NameLengthLimit)
{
    zt::Interposer spy(Self());
    KeyHandle* key = nullptr;
    const std::wstring longest(129, L'k');  // 260 bytes with the terminator
    ASSERT_EQ(0, CreateKeyHandle(longest.c_str(), &key));
    EXPECT_EQ(longest, key->keyName);
    EXPECT_EQ(0, DestroyKeyHandle(key));

    key = nullptr;
    const std::wstring tooLong(130, L'k');
    EXPECT_EQ(NTE_INVALID_PARAMETER, CreateKeyHandle(tooLong.c_str(), &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
}

TEST_F(KeyHandles, NullNameMakesNamelessHandle)
{
    KeyHandle* key = nullptr;
    ASSERT_EQ(0, CreateKeyHandle(nullptr, &key));
    EXPECT_EQ(nullptr, key->keyName);
    EXPECT_EQ(0, DestroyKeyHandle(key));
}

TEST_F(KeyHandles, EveryAllocationFailureLeavesNothing)
{
    for (uint64_t n = 1; n <= 2; ++n) {
        zt::Interposer spy(Self());
        spy.FailNthCallOf(zt::Fn::HeapAlloc, n);
        KeyHandle* key = nullptr;
        EXPECT_EQ(NTE_NO_MEMORY, CreateKeyHandle(L"name", &key)) << "allocation " << n;
        EXPECT_EQ(nullptr, key);
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
    }
}

TEST_F(KeyHandles, FailedSharedOpenIsRetriedByLaterCreation)
{
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::BCryptOpenAlgorithmProvider, 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC0000017L));  // STATUS_NO_MEMORY
    KeyHandle* key = nullptr;
    EXPECT_EQ(NTE_NO_MEMORY, CreateKeyHandle(L"a", &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());

    ASSERT_EQ(0, CreateKeyHandle(L"a", &key));
    EXPECT_NE(nullptr, key->rsaAlgorithm);
    EXPECT_EQ(2u, spy.CallCount(zt::Fn::BCryptOpenAlgorithmProvider));
    KeyHandle* second = nullptr;
    ASSERT_EQ(0, CreateKeyHandle(L"b", &second));
    EXPECT_EQ(key->rsaAlgorithm, second->rsaAlgorithm);
    EXPECT_EQ(2u, spy.CallCount(zt::Fn::BCryptOpenAlgorithmProvider)) << "opened once, then reused";
    EXPECT_EQ(0, DestroyKeyHandle(key));
    EXPECT_EQ(0, DestroyKeyHandle(second));
}

TEST_F(KeyHandles, UnlistedOpenFailureMapsToInternalError)
{
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::BCryptOpenAlgorithmProvider, 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC0000001L));
    KeyHandle* key = nullptr;
    EXPECT_EQ(NTE_INTERNAL_ERROR, CreateKeyHandle(L"a", &key));
}

TEST_F(KeyHandles, ConcurrentFirstCreationsOpenExactlyOneHandle)
{
    zt::Interposer spy(Self());
    spy.SetDelay(zt::Fn::BCryptOpenAlgorithmProvider, 100);  // widen the race
    constexpr int kThreads = 8;
    std::vector<KeyHandle*> keys(kThreads, nullptr);
    std::vector<SECURITY_STATUS> results(kThreads, -1);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            results[i] = CreateKeyHandle(L"race", &keys[i]);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::BCryptOpenAlgorithmProvider));
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(0, results[i]);
        EXPECT_EQ(keys[0]->rsaAlgorithm, keys[i]->rsaAlgorithm);
    }
    for (KeyHandle* key : keys) {
        EXPECT_EQ(0, DestroyKeyHandle(key));
    }
}

// Imports a fresh public key into the handle, as OpenKey would.
void GivePublicKey(KeyHandle* key)
{
    BCRYPT_KEY_HANDLE pair = nullptr;
    ASSERT_EQ(0, BCryptGenerateKeyPair(key->rsaAlgorithm, &pair, 1024, 0));
    ASSERT_EQ(0, BCryptFinalizeKeyPair(pair, 0));
    BYTE blob[1024];
    ULONG n = 0;
    ASSERT_EQ(0, BCryptExportKey(pair, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob, sizeof blob, &n, 0));
    ASSERT_EQ(0, BCryptImportKeyPair(key->rsaAlgorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key->publicKey, blob, n, 0));
    BCryptDestroyKey(pair);
}

TEST_F(KeyHandles, DestroyReleasesPublicKey)
{
    zt::Interposer spy(Self());
    KeyHandle* key = nullptr;
    ASSERT_EQ(0, CreateKeyHandle(L"k", &key));
    GivePublicKey(key);
    EXPECT_EQ(1u, spy.OpenHandles(zt::HandleKind::Key));
    EXPECT_EQ(0, DestroyKeyHandle(key));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Key));
    EXPECT_EQ(0u, spy.LiveBlocks());
}

TEST_F(KeyHandles, FailingDestroyKeyStillReleasesHandle)
{
    zt::Interposer spy(Self());
    KeyHandle* key = nullptr;
    ASSERT_EQ(0, CreateKeyHandle(L"k", &key));
    GivePublicKey(key);
    // The next BCryptDestroyKey is the provider's (the test made some itself).
    spy.FailNthCallOf(zt::Fn::BCryptDestroyKey, spy.CallCount(zt::Fn::BCryptDestroyKey) + 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC0000008L));  // STATUS_INVALID_HANDLE
    EXPECT_EQ(NTE_INVALID_HANDLE, DestroyKeyHandle(key));
    EXPECT_EQ(0u, spy.LiveBlocks()) << "the record is released even so";
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
}

TEST_F(KeyHandles, CloseSharedClosesOnceAndReopens)
{
    zt::Interposer spy(Self());
    BCRYPT_ALG_HANDLE a = nullptr;
    ASSERT_EQ(0, AcquireSharedRsaAlgorithm(&a));
    BCRYPT_ALG_HANDLE b = nullptr;
    ASSERT_EQ(0, AcquireSharedRsaAlgorithm(&b));
    EXPECT_EQ(a, b);
    CloseSharedRsaAlgorithm();
    CloseSharedRsaAlgorithm();
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::BCryptCloseAlgorithmProvider));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Algorithm));
}

}  // namespace
