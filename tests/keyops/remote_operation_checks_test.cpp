// The checks SignHash, Decrypt and OpenKey make before any exchange: none of
// these calls may reach the pipe or allocate.
#include "forged_key_test.h"
#include "interposer.h"
#include "ksp_status.h"
#include "wine_stand_ins.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;

class RemoteOperationChecks : public zt::ForgedKeyTest {
protected:
    void SetUp() override
    {
        zt::ForgedKeyTest::SetUp();
        if (HasFatalFailure()) return;
        spy = std::make_unique<zt::Interposer>(provider.module());
    }
    void TearDown() override
    {
        if (spy) {
            EXPECT_EQ(0u, spy->CallCount(zt::Fn::CreateFileA)) << "no exchange was due";
            EXPECT_EQ(0u, spy->CallCount(zt::Fn::HeapAlloc));
        }
        spy.reset();
        zt::ForgedKeyTest::TearDown();
    }
    std::unique_ptr<zt::Interposer> spy;
};

class SignHashChecks : public RemoteOperationChecks {};

TEST_F(SignHashChecks, CheckOrder)
{
    BYTE hash[32] = {};
    BYTE sig[256];
    DWORD size = kUntouched;
    const NCRYPT_KEY_HANDLE k = key->handle();
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->SignHash(0, 0, nullptr, hash, 32, sig, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(0, k, nullptr, hash, 32, sig, 256, nullptr, 0x4));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->SignHash(0, k, nullptr, hash, 32, sig, 256, &size, NCRYPT_PAD_OAEP_FLAG));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->SignHash(0, k, nullptr, hash, 32, sig, 256, &size, 0x1));
    key->record().keyUsage = 0x1;
    EXPECT_EQ(NTE_PERM, provider->SignHash(0, k, nullptr, hash, 32, sig, 256, &size, 2));
    EXPECT_EQ(NTE_PERM, provider->SignHash(0, k, nullptr, hash, 32, nullptr, 0, &size, 2));
    key->record().keyUsage = 0x3;
    EXPECT_EQ(kUntouched, size);
}

TEST_F(SignHashChecks, NullHashWithLengthIsRefusedUnread)
{
    BYTE sig[256];
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(0, key->handle(), nullptr, nullptr, 32, sig, 256, &size, 2));
    EXPECT_EQ(kUntouched, size);
}

// D + L + 12 must fit 32 bits; refused before anything is read or allocated.
TEST_F(SignHashChecks, PayloadSizeOverflowIsRefusedBeforeAllocation)
{
    BYTE hash[4] = {};
    BYTE sig[256];
    DWORD size = kUntouched;
    // L = 2 for the name "k": 0xFFFFFFF2 + 2 + 12 = 2^32.
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              provider->SignHash(0, key->handle(), nullptr, hash, 0xFFFFFFF2u, sig, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              provider->SignHash(0, key->handle(), nullptr, hash, 0xFFFFFFFFu, sig, 256, &size, 2));
    EXPECT_EQ(kUntouched, size);
}

// Wine 8.0 lacks "SignatureLength" on RSA keys; the test stands in for that
// query with the modulus length Windows gives. No service is running here.
TEST_F(SignHashChecks, SizeQueryIsLocalWithWineStandInForSignatureLength)
{
    zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::SignatureLength);
    ASSERT_TRUE(standIn.active());
    DWORD size = 0;
    EXPECT_EQ(0, provider->SignHash(0, key->handle(), nullptr, nullptr, 12345, nullptr, 0, &size, NCRYPT_PAD_PSS_FLAG));
    EXPECT_EQ(256u, size);
    EXPECT_EQ(key->record().publicKey, zt::WindowsBCryptStandIn::LastHandle());
}

TEST_F(SignHashChecks, SizeQueryPassesBCryptFailureThroughMapping)
{
    // Wine's own answer (0xC0000002) is not in the table: NTE_INTERNAL_ERROR.
    spy->FailNthCallOf(zt::Fn::BCryptGetProperty, 1);
    spy->SetFailureStatus(static_cast<LONG>(0xC0000002L));
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key->handle(), nullptr, nullptr, 0, nullptr, 0, &size, 2));
    spy->FailNthCallOf(zt::Fn::BCryptGetProperty, 2);
    spy->SetFailureStatus(static_cast<LONG>(0xC0000008L));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->SignHash(0, key->handle(), nullptr, nullptr, 0, nullptr, 0, &size, 2));
    EXPECT_EQ(kUntouched, size);
}

class DecryptChecks : public RemoteOperationChecks {};

TEST_F(DecryptChecks, CheckOrderAndLengthMustEqualKeyBytes)
{
    std::vector<BYTE> in(257, 1);
    BYTE out[256];
    DWORD size = kUntouched;
    const NCRYPT_KEY_HANDLE k = key->handle();
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->Decrypt(0, 0, in.data(), 256, nullptr, out, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, nullptr, 256, nullptr, out, 256, &size, 0x8));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, in.data(), 0, nullptr, out, 256, &size, 0x8));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, in.data(), 256, nullptr, out, 256, nullptr, 0x8));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->Decrypt(0, k, in.data(), 256, nullptr, out, 256, &size, NCRYPT_PAD_PSS_FLAG));
    key->record().keyUsage = 0x2;
    EXPECT_EQ(NTE_PERM, provider->Decrypt(0, k, in.data(), 255, nullptr, out, 256, &size, 2));
    key->record().keyUsage = 0x3;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, in.data(), 255, nullptr, out, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, in.data(), 257, nullptr, out, 256, &size, 2));
    key->record().keyLengthBits = 2047;  // still 256 whole bytes
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, k, in.data(), 255, nullptr, out, 256, &size, 2));
    EXPECT_EQ(kUntouched, size);
}

class OpenKeyChecks : public RemoteOperationChecks {};

TEST_F(OpenKeyChecks, ArgumentsAndNameLengthBeforeAnyContact)
{
    NCRYPT_KEY_HANDLE h = 0x77;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenKey(0, nullptr, L"k", 0, 0));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenKey(0, &h, nullptr, 0, 0));
    const std::wstring tooLong(130, L'n');  // 262 bytes with the terminator
    spy->Reset();
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->OpenKey(0, &h, tooLong.c_str(), 0, 0));
    EXPECT_EQ(0x77u, h);
    // The refused name cost one allocation (the handle record), released wiped.
    EXPECT_EQ(0u, spy->LiveBlocks());
    EXPECT_TRUE(spy->UnwipedFrees().empty());
    spy->Reset();
}

}  // namespace
