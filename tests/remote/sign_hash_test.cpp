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

TEST_F(SignHashRemote, SendsHashNameAndFlagsAndCopiesTheSignature)
{
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "to sign");
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    // The service's PKCS#1 v1.5 signature, flag or no flag (PSS below, on a
    // key of its own).
    const std::vector<BYTE> reply = rsa->Sign(hash, &padding, BCRYPT_PAD_PKCS1);
    ASSERT_EQ(256u, reply.size());
    for (DWORD flags : {0x2u, 0x42u, 0x0u}) {
        SCOPED_TRACE(flags);
        Reply(reply);
        std::vector<BYTE> sig(260, 0xEE);
        DWORD size = 0;
        const size_t before = service->ExchangeCount();
        ASSERT_EQ(0, provider->SignHash(0, key, &padding, const_cast<BYTE*>(hash.data()), hash.size(), sig.data(), 260,
                                        &size, flags));
        EXPECT_EQ(256u, size);
        EXPECT_EQ(reply, std::vector<BYTE>(sig.begin(), sig.begin() + 256));
        EXPECT_EQ(0xEE, sig[256]);
        const zt::ObservedExchange ex = ExchangeAfter(before);
        EXPECT_EQ(2u, ex.requestCode);
        EXPECT_EQ(zt::OperationPayload(hash, L"signer", flags), ex.payload) << "the padding record does not travel";
    }
}

// Wine keeps a key that made a PSS signature from making PKCS#1 ones, so the
// PSS signatures come from a key of their own.
TEST_F(SignHashRemote, PssSignatureIsCopiedAndTheKeyHandleStaysUsable)
{
    zt::TestRsaKey pssKey(2048);
    ASSERT_TRUE(pssKey.ok());
    Reply(pssKey.publicBlob());
    NCRYPT_KEY_HANDLE k = 0;
    ASSERT_EQ(0, provider->OpenKey(prov, &k, L"pss", 0, 0));
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA384_ALGORITHM, "to sign");
    BCRYPT_PSS_PADDING_INFO pss{BCRYPT_SHA384_ALGORITHM, 48};
    for (DWORD flags : {0x8u, 0x48u}) {
        SCOPED_TRACE(flags);
        const std::vector<BYTE> reply = pssKey.Sign(hash, &pss, BCRYPT_PAD_PSS);
        Reply(reply);
        std::vector<BYTE> sig(256);
        DWORD size = 0;
        ASSERT_EQ(0, provider->SignHash(0, k, &pss, const_cast<BYTE*>(hash.data()), 48, sig.data(), 256, &size, flags));
        EXPECT_EQ(reply, sig);
    }
    // The check ran on a copy: PKCS#1 on this handle still works under Wine.
    BYTE plain[5] = {1, 2, 3, 4, 5};
    BYTE out[256];
    DWORD size = 0;
    EXPECT_EQ(0, provider->Encrypt(0, k, plain, 5, nullptr, out, 256, &size, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, provider->FreeKey(prov, k));
}

// Whatever the service sends must be the key's signature of this hash under
// the scheme asked for; anything else is refused and nothing is written.
TEST_F(SignHashRemote, ReplyThatIsNotTheKeysSignatureIsRefused)
{
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "the document");
    const std::vector<BYTE> other = zt::Sha(BCRYPT_SHA256_ALGORITHM, "another document");
    BCRYPT_PKCS1_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_PKCS1_PADDING_INFO sha1{BCRYPT_SHA1_ALGORITHM};
    zt::TestRsaKey stranger(2048);
    ASSERT_TRUE(stranger.ok());
    std::vector<BYTE> flipped = rsa->Sign(hash, &sha256, BCRYPT_PAD_PKCS1);
    flipped[100] ^= 0x01;
    const std::pair<const char*, std::vector<BYTE>> replies[] = {
        {"random bytes", zt::Sha(BCRYPT_SHA512_ALGORITHM, "x")},
        {"256 random bytes", std::vector<BYTE>(256, 0x5A)},
        {"a signature of another hash", rsa->Sign(other, &sha256, BCRYPT_PAD_PKCS1)},
        {"one bit flipped", flipped},
        {"another key's signature", stranger.Sign(hash, &sha256, BCRYPT_PAD_PKCS1)},
        {"made as SHA-1 over the same bytes", rsa->Sign(std::vector<BYTE>(hash.begin(), hash.begin() + 20), &sha1,
                                                        BCRYPT_PAD_PKCS1)},
    };
    for (const auto& [what, reply] : replies) {
        SCOPED_TRACE(what);
        ASSERT_FALSE(reply.empty());
        Reply(reply);
        std::vector<BYTE> sig(512, 0xEE);
        DWORD size = 0xA5A5A5A5;
        zt::Interposer spy(provider.module());
        EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, &sha256, const_cast<BYTE*>(hash.data()), 32,
                                                         sig.data(), 512, &size, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(0xA5A5A5A5u, size);
        EXPECT_EQ(std::vector<BYTE>(512, 0xEE), sig);
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_EQ(0u, spy.OpenHandlesTotal());
        EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
    }
    // Without a padding record the service's own choice is what is checked:
    // SHA-256 for a 32-byte hash.
    Reply(rsa->Sign(hash, &sha256, BCRYPT_PAD_PKCS1));
    std::vector<BYTE> sig(256);
    DWORD size = 0;
    EXPECT_EQ(0, provider->SignHash(0, key, nullptr, const_cast<BYTE*>(hash.data()), 32, sig.data(), 256, &size, 0));
}

TEST_F(SignHashRemote, EmptyHashIsSentAsEmpty)
{
    Reply({1});
    BYTE sig[4];
    DWORD size = 0;
    const size_t before = service->ExchangeCount();
    // No hash algorithm has an empty value, so no reply can be its signature.
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, nullptr, 0, sig, 4, &size, 2));
    EXPECT_EQ(zt::OperationPayload({}, L"signer", 2), ExchangeAfter(before).payload);
}

TEST_F(SignHashRemote, ReplyRules)
{
    BYTE hash[20] = {1};
    const std::vector<BYTE> hashBytes(hash, hash + 20);
    BCRYPT_PKCS1_PADDING_INFO sha1{BCRYPT_SHA1_ALGORITHM};
    const std::vector<BYTE> signature = rsa->Sign(hashBytes, &sha1, BCRYPT_PAD_PKCS1);
    std::vector<BYTE> sig(256, 0xEE);
    DWORD size = 0xA5A5A5A5;

    Reply({});
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 256, &size, 2));
    Reply(signature);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->SignHash(0, key, nullptr, hash, 20, sig.data(), 255, &size, 2));
    EXPECT_EQ(0xA5A5A5A5u, size) << "left as it was";
    EXPECT_EQ(std::vector<BYTE>(256, 0xEE), sig);

    zt::ServiceScript failing;
    failing.statusWord = 1;
    failing.replyPayload = signature;
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
    BCRYPT_PKCS1_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM};
    const std::vector<BYTE> reply = rsa->Sign(hash, &sha256, BCRYPT_PAD_PKCS1);
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
