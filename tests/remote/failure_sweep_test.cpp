// Fails each platform call of an operation in turn: whatever fails (some
// failures are recovered from, e.g. the secret store's retries), nothing
// leaks, every freed block was wiped and no handle stays open.
#include "remote_fixture.h"

#include <functional>

namespace {

using zt::RemoteFixture;

class FailureSweep : public RemoteFixture {
protected:
    // Runs `op` with the nth hooked call failing, for n = 1, 2, ... until a run
    // fails no call. Returns the number of runs.
    int Sweep(const std::function<SECURITY_STATUS()>& op, const std::function<void()>& cleanupOnSuccess)
    {
        int runs = 0;
        for (uint64_t n = 1; n < 2000; ++n) {
            const size_t exchangesBefore = service->ExchangeCount();
            zt::Interposer spy(provider.module());
            spy.FailNthCall(n);
            const SECURITY_STATUS status = op();
            bool injected = false;
            bool connected = false;
            zt::Fn failedFn = zt::Fn::Count;
            for (const zt::CallRecord& call : spy.Calls()) {
                if (call.failed) {
                    injected = true;
                    failedFn = call.fn;
                }
                if (call.fn == zt::Fn::CreateFileA) {
                    // The user's own name (none here), then the machine-wide one: the last open decides.
                    connected = !call.failed;
                }
            }
            // Pacing only: let the scripted service finish with an abandoned
            // connection and offer a free instance before the next run.
            if (connected) {
                service->WaitForExchanges(exchangesBefore + 1, 2000);
            }
            WaitNamedPipeW(L"\\\\.\\pipe\\ZentravaPipe", 2000);
            if (status == 0) {
                spy.FailNthCall(0);  // the release must not meet the planned failure
                cleanupOnSuccess();
            }
            if (!injected) {
                std::string trace;
                for (const zt::CallRecord& call : spy.Calls()) {
                    trace += std::string(zt::FnName(call.fn)) + " ";
                }
                EXPECT_EQ(0, status) << "with nothing failed, n=" << n << ": " << trace;
                (void)exchangesBefore;
                break;
            }
            ++runs;
            SCOPED_TRACE(std::string("failed call ") + std::to_string(n) + " " + zt::FnName(failedFn));
            EXPECT_EQ(0u, spy.LiveBlocks());
            EXPECT_TRUE(UnwipedHeapFrees(spy).empty()) << zt::DescribeUnwiped(UnwipedHeapFrees(spy));
            EXPECT_EQ(0u, spy.OpenHandlesTotal());
            if (HasFailure()) {
                break;
            }
        }
        return runs;
    }
};

TEST_F(FailureSweep, OpenKey)
{
    // The shared RSA handle is open before the sweep: it stays open by design.
    NCRYPT_KEY_HANDLE first = OpenTestKey(L"first");
    ASSERT_NE(0u, first);
    EXPECT_EQ(0, provider->FreeKey(prov, first));
    Reply(rsa->publicBlob());
    NCRYPT_KEY_HANDLE key = 0;
    const int runs = Sweep([&] { return provider->OpenKey(prov, &key, L"swept", 0, 0); },
                           [&] { EXPECT_EQ(0, provider->FreeKey(prov, key)); });
    EXPECT_GT(runs, 20);
}

TEST_F(FailureSweep, SignHash)
{
    NCRYPT_KEY_HANDLE key = OpenTestKey(L"swept");
    ASSERT_NE(0u, key);
    BYTE hash[32] = {1, 2, 3};
    BCRYPT_PKCS1_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM};
    Reply(rsa->Sign(std::vector<BYTE>(hash, hash + 32), &sha256, BCRYPT_PAD_PKCS1));
    BYTE sig[256];
    DWORD size = 0;
    const int runs = Sweep([&] { return provider->SignHash(0, key, nullptr, hash, 32, sig, 256, &size, 2); }, [] {});
    EXPECT_GT(runs, 20);
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

}  // namespace
