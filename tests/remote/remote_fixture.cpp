#include "remote_fixture.h"

namespace zt {

std::unique_ptr<TestRsaKey> RemoteFixture::rsa;

void RemoteFixture::SetUpTestSuite()
{
    rsa = std::make_unique<TestRsaKey>(2048);
}

void RemoteFixture::TearDownTestSuite()
{
    rsa.reset();
}

void RemoteFixture::SetUp()
{
    ASSERT_TRUE(provider.ok());
    ASSERT_TRUE(rsa->ok());
    root = std::make_unique<TempDataRoot>();
    ASSERT_TRUE(root->ok());
    service = std::make_unique<ScriptedService>();
    ASSERT_TRUE(service->Start());
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
}

void RemoteFixture::TearDown()
{
    EXPECT_EQ(0, provider->FreeProvider(prov));
    service.reset();
    root.reset();
}

void RemoteFixture::Reply(const std::vector<BYTE>& payload)
{
    ServiceScript script;
    script.replyPayload = payload;
    service->SetScript(script);
}

NCRYPT_KEY_HANDLE RemoteFixture::OpenTestKey(const wchar_t* name)
{
    Reply(rsa->publicBlob());
    NCRYPT_KEY_HANDLE key = 0;
    const size_t before = service->ExchangeCount();
    EXPECT_EQ(0, provider->OpenKey(prov, &key, name, 0, 0));
    // Settled, so later counts start after this exchange.
    EXPECT_TRUE(service->WaitForExchanges(before + 1, 5000));
    return key;
}

ObservedExchange RemoteFixture::ExchangeAfter(size_t before) const
{
    if (!service->WaitForExchanges(before + 1, 5000)) {
        ADD_FAILURE() << "no exchange after " << before;
        return {};
    }
    return service->Exchanges()[before];
}

std::vector<FreedBlock> RemoteFixture::UnwipedHeapFrees(const Interposer& spy) const
{
    std::vector<FreedBlock> out;
    for (const FreedBlock& block : spy.UnwipedFrees()) {
        if (block.by == Fn::HeapFree) {
            out.push_back(block);
        }
    }
    return out;
}

}  // namespace zt
