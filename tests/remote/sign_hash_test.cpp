#include "remote_fixture.h"
#include "wine_stand_ins.h"

namespace {

using zt::RemoteFixture;

class SignHashRemote : public RemoteFixture {
protected:
    void SetUp() override
    {
        RemoteFixture::SetUp();
        key = OpenTestKey(L"signer");
        ASSERT_NE(0u, key);
    }
    void TearDown() override
    {
        EXPECT_EQ(0, provider->FreeKey(prov, key));
        RemoteFixture::TearDown();
    }
    NCRYPT_KEY_HANDLE key = 0;
};

TEST_F(SignHashRemote, SendsHashNameAndFlagsAndCopiesTheReply)
{
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "to sign");
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    for (DWORD flags : {0x2u, 0x42u, 0x8u, 0x4Au, 0x0u}) {
        SCOPED_TRACE(flags);
        // Taken as the service sends it: not checked against the key.
        const std::vector<BYTE> reply = {9, 8, 7, 6, 5};
        Reply(reply);
        std::vector<BYTE> sig(8, 0xEE);
        DWORD size = 0;
        const size_t before = service->ExchangeCount();
        ASSERT_EQ(0, provider->SignHash(0, key, &padding, const_cast<BYTE*>(hash.data()), hash.size(), sig.data(), 8,
                                        &size, flags));
        EXPECT_EQ(5u, size);
        EXPECT_EQ(reply, std::vector<BYTE>(sig.begin(), sig.begin() + 5));
        EXPECT_EQ(0xEE, sig[5]);
        const zt::ObservedExchange ex = ExchangeAfter(before);
        EXPECT_EQ(2u, ex.requestCode);
        EXPECT_EQ(OperationPayload(hash, L"signer", flags), ex.payload) << "the padding record does not travel";
    }
}

TEST_F(SignHashRemote, EmptyHashIsSentAsEmpty)
{
    Reply({1});
    BYTE sig[4];
    DWORD size = 0;
    const size_t before = service->ExchangeCount();
    ASSERT_EQ(0, provider->SignHash(0, key, nullptr, nullptr, 0, sig, 4, &size, 2));
    EXPECT_EQ(OperationPayload({}, L"signer", 2), ExchangeAfter(before).payload);
}

TEST_F(SignHashRemote, ReplyRules)
{
    BYTE hash[20] = {1};
    std::vector<BYTE> sig(256, 0xEE);
    DWORD size = 0xA5A5A5A5;

    Reply({});
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 256, &size, 2));
    Reply(std::vector<BYTE>(257, 3));
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 256, &size, 2));
    EXPECT_EQ(0xA5A5A5A5u, size) << "left as it was";
    EXPECT_EQ(std::vector<BYTE>(256, 0xEE), sig);

    zt::ServiceScript failing;
    failing.statusWord = 1;
    failing.replyPayload = {1, 2, 3};
    service->SetScript(failing);
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 256, &size, 2))
        << "the exchange's own status";
    service->Stop();
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 256, &size, 2));
    EXPECT_EQ(0xA5A5A5A5u, size);
}

// Wine 8.0 lacks "SignatureLength"; the stand-in gives the Windows value.
TEST_F(SignHashRemote, SizeQueryWithWineStandInForSignatureLengthNeedsNoService)
{
    service->Stop();
    zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::SignatureLength);
    DWORD size = 0;
    EXPECT_EQ(0, provider->SignHash(0, key, nullptr, nullptr, 0, nullptr, 0, &size, 2));
    EXPECT_EQ(256u, size);
}

TEST_F(SignHashRemote, PayloadAllocationFailureIsInternalErrorWithoutExchange)
{
    BYTE hash[32] = {};
    BYTE sig[256];
    DWORD size = 0;
    const size_t before = service->ExchangeCount();
    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::HeapAlloc, 1);
    spy.SetFailureLastError(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, hash, 32, sig, 256, &size, 2));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileA));
    EXPECT_EQ(before, service->ExchangeCount());
}

TEST_F(SignHashRemote, HashAndSignatureAreWipedAndNothingLeaks)
{
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "secret document");
    std::vector<BYTE> reply = zt::Sha(BCRYPT_SHA512_ALGORITHM, "signature bytes");
    zt::Interposer spy(provider.module());
    spy.WatchSecret("hash", hash.data(), hash.size());
    spy.WatchSecret("signature", reply.data(), reply.size());
    std::vector<BYTE> sig(256);
    DWORD size = 0;
    for (size_t bufferSize : {256u, 10u}) {  // success, then too small
        Reply(reply);
        provider->SignHash(0, key, nullptr, const_cast<BYTE*>(hash.data()), hash.size(), sig.data(), bufferSize, &size,
                           2);
    }
    EXPECT_TRUE(service->WaitForExchanges(3, 5000)) << "open and two signatures";
    EXPECT_TRUE(spy.SecretHits().empty()) << spy.SecretHits().front().label;
    EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
}

}  // namespace
