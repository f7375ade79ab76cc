#include "remote_fixture.h"

#include <cstring>

namespace {

using zt::RemoteFixture;

class OpenKeyRemote : public RemoteFixture {};

TEST_F(OpenKeyRemote, SendsTheNameAndImportsTheReply)
{
    zt::Interposer spy(provider.module());
    Reply(rsa->publicBlob());
    NCRYPT_KEY_HANDLE key = 0;
    const size_t before = service->ExchangeCount();
    // Provider handle, legacy key spec and flags are not examined.
    ASSERT_EQ(0, provider->OpenKey(0x1234, &key, L"remote-key", 2, 0xFFFFFFFF));
    const zt::ObservedExchange ex = ExchangeAfter(before);
    EXPECT_TRUE(ex.requestValid);
    EXPECT_EQ(1u, ex.requestCode);
    EXPECT_EQ(zt::NameBytes(L"remote-key"), ex.payload) << "UTF-16LE without the terminator";
    EXPECT_EQ(20u, ex.payloadLengthField);

    DWORD bits = 0, size = 0;
    EXPECT_EQ(0, provider->GetKeyProperty(prov, key, L"Length", reinterpret_cast<BYTE*>(&bits), 4, &size, 0));
    EXPECT_EQ(2048u, bits);
    std::vector<BYTE> blob(rsa->publicBlob().size());
    ASSERT_EQ(0, provider->ExportKey(prov, key, 0, L"RSAPUBLICBLOB", nullptr, blob.data(), blob.size(), &size, 0));
    EXPECT_EQ(rsa->publicBlob(), blob);
    EXPECT_EQ(0, provider->FreeKey(prov, key));

    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
}

TEST_F(OpenKeyRemote, BitLengthComesFromTheBlobHeader)
{
    zt::TestRsaKey small(1024);
    ASSERT_TRUE(small.ok());
    Reply(small.publicBlob());
    NCRYPT_KEY_HANDLE key = 0;
    ASSERT_EQ(0, provider->OpenKey(prov, &key, L"k", 0, 0));
    DWORD value = 0, size = 0;
    EXPECT_EQ(0, provider->GetKeyProperty(prov, key, L"Length", reinterpret_cast<BYTE*>(&value), 4, &size, 0));
    EXPECT_EQ(1024u, value);
    EXPECT_EQ(0, provider->GetKeyProperty(prov, key, L"Block Length", reinterpret_cast<BYTE*>(&value), 4, &size, 0));
    EXPECT_EQ(128u, value);
    // Decrypt accepts exactly the key's byte length.
    std::vector<BYTE> in(129, 1);
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Decrypt(0, key, in.data(), 129, nullptr, nullptr, 0, &size, 2));
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

TEST_F(OpenKeyRemote, EmptyAndLongestNames)
{
    size_t before = service->ExchangeCount();
    NCRYPT_KEY_HANDLE key = OpenTestKey(L"");
    ASSERT_NE(0u, key);
    zt::ObservedExchange ex = ExchangeAfter(before);
    EXPECT_TRUE(ex.requestValid);
    EXPECT_TRUE(ex.payload.empty());
    EXPECT_EQ(0u, ex.payloadLengthField);
    DWORD size = 0;
    EXPECT_EQ(0, provider->GetKeyProperty(prov, key, L"Name", nullptr, 0, &size, 0));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0, provider->FreeKey(prov, key));

    const std::wstring longest(129, L'n');
    before = service->ExchangeCount();
    key = OpenTestKey(longest.c_str());
    ASSERT_NE(0u, key);
    EXPECT_EQ(zt::NameBytes(longest.c_str()), ExchangeAfter(before).payload);
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

TEST_F(OpenKeyRemote, EachOpenFetchesAgainIntoIndependentHandles)
{
    NCRYPT_KEY_HANDLE a = OpenTestKey(L"same");
    NCRYPT_KEY_HANDLE b = OpenTestKey(L"same");
    EXPECT_NE(a, b);
    EXPECT_TRUE(service->WaitForExchanges(2, 5000));
    EXPECT_EQ(2u, service->ExchangeCount());
    EXPECT_EQ(0, provider->FreeKey(prov, a));
    BYTE in[4] = {1, 2, 3, 4};
    BYTE out[256];
    DWORD size = 0;
    EXPECT_EQ(0, provider->Encrypt(0, b, in, 4, nullptr, out, 256, &size, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, provider->FreeKey(prov, b));
}

// Every failure: no handle handed out, out-pointer untouched, the reply wiped,
// nothing left allocated.
TEST_F(OpenKeyRemote, FailuresHandOutNothingAndWipeTheReply)
{
    const std::vector<BYTE>& blob = rsa->publicBlob();
    struct Case {
        const char* what;
        zt::ServiceScript script;
        SECURITY_STATUS expected;
    };
    std::vector<Case> cases;
    {
        zt::ServiceScript s;
        s.replyPayload.assign(blob.begin(), blob.begin() + 23);
        cases.push_back({"23-byte reply", s, NTE_BAD_KEY});
    }
    {
        zt::ServiceScript s;
        cases.push_back({"empty reply", s, NTE_BAD_KEY});
    }
    {
        zt::ServiceScript s;
        s.replyPayload.assign(24, 0);  // BCrypt: 0xC00000BB
        cases.push_back({"24 zero bytes", s, NTE_NOT_SUPPORTED});
    }
    {
        zt::ServiceScript s;
        s.replyPayload = blob;
        s.replyPayload[0] ^= 0xFF;  // bad magic
        cases.push_back({"bad magic", s, NTE_NOT_SUPPORTED});
    }
    {
        zt::ServiceScript s;
        s.statusWord = 5;
        s.replyPayload = blob;
        cases.push_back({"service status word", s, NTE_BAD_KEYSET});
    }
    {
        zt::ServiceScript s;
        s.hello = 2;
        cases.push_back({"bad hello", s, NTE_BAD_KEYSET});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        service->SetScript(c.script);
        zt::Interposer spy(provider.module());
        if (!c.script.replyPayload.empty()) {
            spy.WatchSecret("reply", c.script.replyPayload.data(), c.script.replyPayload.size());
        }
        NCRYPT_KEY_HANDLE key = 0x77;
        const SECURITY_STATUS status = provider->OpenKey(prov, &key, L"remote-key", 0, 0);
        if (std::string(c.what) == "bad magic") {
            EXPECT_NE(0, status);  // whatever BCrypt refuses it with, mapped
        } else {
            EXPECT_EQ(c.expected, status);
        }
        EXPECT_EQ(0x77u, key);
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Key));
        EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
        EXPECT_TRUE(spy.SecretHits().empty());
    }
}

TEST_F(OpenKeyRemote, ServiceDownIsBadKeyset)
{
    service->Stop();
    zt::Interposer spy(provider.module());
    NCRYPT_KEY_HANDLE key = 0x77;
    EXPECT_EQ(NTE_BAD_KEYSET, provider->OpenKey(prov, &key, L"remote-key", 0, 0));
    EXPECT_EQ(0x77u, key);
    EXPECT_EQ(0u, spy.LiveBlocks());
}

TEST_F(OpenKeyRemote, ImportFailureIsMapped)
{
    Reply(rsa->publicBlob());
    zt::Interposer spy(provider.module());
    spy.FailNthCallOf(zt::Fn::BCryptImportKeyPair, 1);
    spy.SetFailureStatus(static_cast<LONG>(0xC0000017L));  // STATUS_NO_MEMORY
    NCRYPT_KEY_HANDLE key = 0x77;
    EXPECT_EQ(NTE_NO_MEMORY, provider->OpenKey(prov, &key, L"remote-key", 0, 0));
    EXPECT_EQ(0x77u, key);
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_TRUE(UnwipedHeapFrees(spy).empty());
}

}  // namespace
