#include "remote_fixture.h"

namespace {

using zt::RemoteFixture;

class DecryptRemote : public RemoteFixture {
protected:
    void SetUp() override
    {
        RemoteFixture::SetUp();
        key = OpenTestKey(L"decrypter");
        ASSERT_NE(0u, key);
        cipher.assign(256, 0);
        for (size_t i = 0; i < cipher.size(); ++i) {
            cipher[i] = static_cast<BYTE>(i * 7 + 1);
        }
    }
    void TearDown() override
    {
        EXPECT_EQ(0, provider->FreeKey(prov, key));
        RemoteFixture::TearDown();
    }
    NCRYPT_KEY_HANDLE key = 0;
    std::vector<BYTE> cipher;
    const std::vector<BYTE> plain = {'p', 'l', 'a', 'i', 'n', 't', 'e', 'x', 't'};
};

TEST_F(DecryptRemote, SendsInputNameAndFlagsAndCopiesThePlaintext)
{
    for (DWORD flags : {0x2u, 0x1u, 0x4u, 0x47u}) {
        SCOPED_TRACE(flags);
        Reply(plain);
        std::vector<BYTE> out(16, 0xEE);
        DWORD size = 0;
        // Examined only with OAEP as the one padding, where SHA-1 without a label is what the service does.
        BCRYPT_OAEP_PADDING_INFO oaep{BCRYPT_SHA1_ALGORITHM, nullptr, 0};
        const size_t before = service->ExchangeCount();
        ASSERT_EQ(0, provider->Decrypt(0, key, cipher.data(), 256, &oaep, out.data(), 16, &size, flags));
        EXPECT_EQ(plain.size(), size);
        EXPECT_EQ(plain, std::vector<BYTE>(out.begin(), out.begin() + plain.size()));
        EXPECT_EQ(0xEE, out[plain.size()]);
        const zt::ObservedExchange ex = ExchangeAfter(before);
        EXPECT_EQ(3u, ex.requestCode);
        EXPECT_EQ(zt::OperationPayload(cipher, L"decrypter", flags), ex.payload);
    }
}

TEST_F(DecryptRemote, SizeQueryRunsTheWholeExchange)
{
    Reply(plain);
    const size_t before = service->ExchangeCount();
    DWORD size = 0;
    ASSERT_EQ(0, provider->Decrypt(0, key, cipher.data(), 256, nullptr, nullptr, 0, &size, 2));
    EXPECT_EQ(plain.size(), size);
    EXPECT_TRUE(service->WaitForExchanges(before + 1, 5000));
}

TEST_F(DecryptRemote, ReplyRules)
{
    std::vector<BYTE> out(8, 0xEE);
    DWORD size = 0xA5A5A5A5;
    Reply(plain);
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->Decrypt(0, key, cipher.data(), 256, nullptr, out.data(), 8, &size, 2));
    EXPECT_EQ(plain.size(), size) << "the size needed";
    EXPECT_EQ(std::vector<BYTE>(8, 0xEE), out);

    Reply({});
    size = 0xA5A5A5A5;
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->Decrypt(0, key, cipher.data(), 256, nullptr, out.data(), 8, &size, 2));
    EXPECT_EQ(0xA5A5A5A5u, size);

    zt::ServiceScript failing;
    failing.statusWord = 0xFFFFFFFF;
    service->SetScript(failing);
    EXPECT_EQ(NTE_INTERNAL_ERROR, provider->Decrypt(0, key, cipher.data(), 256, nullptr, out.data(), 8, &size, 2));
    EXPECT_EQ(0xA5A5A5A5u, size);
}

TEST_F(DecryptRemote, CiphertextAndPlaintextAreWipedAndNothingLeaks)
{
    zt::Interposer spy(provider.module());
    spy.WatchSecret("ciphertext", cipher.data(), cipher.size());
    spy.WatchSecret("plaintext", plain.data(), plain.size());
    std::vector<BYTE> out(256);
    DWORD size = 0;
    Reply(plain);
    ASSERT_EQ(0, provider->Decrypt(0, key, cipher.data(), 256, nullptr, out.data(), 256, &size, 2));
    ASSERT_EQ(0, provider->Decrypt(0, key, cipher.data(), 256, nullptr, nullptr, 0, &size, 2));
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->Decrypt(0, key, cipher.data(), 256, nullptr, out.data(), 2, &size, 2));
    EXPECT_TRUE(spy.SecretHits().empty()) << spy.SecretHits().front().label;
    EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
}

}  // namespace
