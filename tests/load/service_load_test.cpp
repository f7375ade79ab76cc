// The signing service as a parallel build meets it: "serve" with its
// defaults, hundreds of signers at once in one process and in several, and
// hostile local clients holding connections while legitimate ones sign.
// Every call must succeed and every signature verify; the service's thread
// count must not follow its clients.
#include "child_process.h"
#include "hostile_clients.h"
#include "provider_loader.h"
#include "service_threads.h"
#include "service_with_keys.h"
#include "signing_burst.h"
#include "unique_resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kKey[] = L"load";

struct Shape {
    unsigned workers = 0;
    unsigned ioThreads = 0;
};

class ServiceLoad : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        service_ = new zt::ServiceWithKeys;
        std::string error;
        // No serve options: the defaults are what a user gets.
        started_ = service_->Start({{kKey, 2048}}, 0, &error);
        startError_ = error;
    }
    static void TearDownTestSuite()
    {
        delete service_;
        service_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(started_) << startError_;
        ASSERT_TRUE(service_->running()) << service_->process()->Output();
    }

    // What the "serving" line says the service runs with.
    static Shape ServingShape()
    {
        const std::string out = service_->process()->Output();
        std::smatch m;
        Shape shape;
        if (std::regex_search(out, m, std::regex("(\\d+) key workers, (\\d+) I/O threads"))) {
            shape.workers = static_cast<unsigned>(std::stoul(m[1]));
            shape.ioThreads = static_cast<unsigned>(std::stoul(m[2]));
        }
        return shape;
    }

    // The service's threads may be its main thread, its two pools, and a
    // few the platform starts for timers and the console: never one per client.
    static unsigned ThreadBound()
    {
        const Shape shape = ServingShape();
        return 1 + shape.workers + shape.ioThreads + kPlatformThreads;
    }
    static constexpr unsigned kPlatformThreads = 6;

    // The exchanges the service logged since `from` (an offset into its
    // output), by outcome: "ok=1020 too-many-connections=4".
    static std::string OutcomesSince(size_t from)
    {
        const std::string out = service_->process()->Output();
        std::map<std::string, unsigned> counts;
        const std::regex outcome(" outcome=([a-z-]+) ");
        for (auto it = std::sregex_iterator(out.begin() + static_cast<std::ptrdiff_t>(std::min(from, out.size())),
                                            out.end(), outcome);
             it != std::sregex_iterator(); ++it) {
            ++counts[(*it)[1]];
        }
        std::string line;
        for (const auto& [name, n] : counts) {
            line += (line.empty() ? "" : " ") + name + "=" + std::to_string(n);
        }
        return line;
    }
    static size_t OutputMark() { return service_->process()->Output().size(); }

    static DWORD ServicePid() { return service_->process()->ProcessId(); }

    // The public blob the provider reports is the service's own key.
    static void ExpectProviderBlobIsTheKeyFiles()
    {
        zt::LoadedProvider provider;
        ASSERT_TRUE(provider.ok());
        NCRYPT_PROV_HANDLE prov = 0;
        NCRYPT_KEY_HANDLE key = 0;
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
        ASSERT_EQ(0, provider->OpenKey(prov, &key, kKey, 0, 0));
        DWORD size = 0;
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, &size, 0));
        std::vector<BYTE> blob(size);
        ASSERT_EQ(0, provider->ExportKey(prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob.data(), size, &size, 0));
        blob.resize(size);
        EXPECT_EQ(service_->PublicBlobOf(kKey), blob);
        provider->FreeKey(prov, key);
        provider->FreeProvider(prov);
    }

    static zt::ServiceWithKeys* service_;
    static bool started_;
    static std::string startError_;
};

zt::ServiceWithKeys* ServiceLoad::service_ = nullptr;
bool ServiceLoad::started_ = false;
std::string ServiceLoad::startError_;

TEST_F(ServiceLoad, TwoHundredFiftySixThreadsInOneProcess)
{
    ExpectProviderBlobIsTheKeyFiles();
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    zt::ThreadSampler threads(ServicePid());
    // Twice: the second burst meets the instances the first one left.
    for (int round = 0; round < 2; ++round) {
        const size_t mark = OutputMark();
        const zt::BurstResult r = zt::RunSigningBurst(provider, kKey, 256, 4);
        std::printf("[256 threads, round %d] %s; service: %s\n", round, r.Summary().c_str(),
                    OutcomesSince(mark).c_str());
        EXPECT_TRUE(r.Clean()) << r.Summary();
        EXPECT_EQ(256u * 4, r.signatures);
    }
    const unsigned peak = threads.Stop();
    std::printf("[256 threads] service threads at most %u (bound %u)\n", peak, ThreadBound());
    EXPECT_GT(peak, 0u);
    EXPECT_LE(peak, ThreadBound());
    EXPECT_TRUE(service_->running());
}

TEST_F(ServiceLoad, FourProcessesOfThirtyTwoThreads)
{
    const std::wstring eventName = L"ZentravaLoadGo" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(go);
    std::vector<std::unique_ptr<zt::ChildProcess>> children;
    for (int i = 0; i < 4; ++i) {
        children.push_back(std::make_unique<zt::ChildProcess>());
        const std::wstring cmd = zt::QuoteArgument(zt::BesideExe(L"signing_probe.exe")) + L" " + eventName + L" " +
                                 kKey + L" 32 6";
        ASSERT_TRUE(children.back()->Start(cmd)) << children.back()->StartError();
    }
    // Each child waits for the signal once its provider is loaded; a child
    // still loading when it comes starts a little later, which only spreads
    // the burst (the round after it meets them all at once).
    Sleep(2000);
    zt::ThreadSampler threads(ServicePid());
    const size_t mark = OutputMark();
    SetEvent(go.get());
    for (auto& child : children) {
        ASSERT_TRUE(child->Wait(180000)) << "a signing process did not end";
        std::printf("[4 x 32 threads] %s", child->Output().c_str());
        EXPECT_EQ(0u, child->ExitCode()) << child->Output() << child->Errors();
        EXPECT_NE(std::string::npos, child->Output().find("signatures=192 sign-failures=0 wrong=0"))
            << child->Output();
    }
    std::printf("[4 x 32 threads] service: %s\n", OutcomesSince(mark).c_str());
    const unsigned peak = threads.Stop();
    std::printf("[4 x 32 threads] service threads at most %u (bound %u)\n", peak, ThreadBound());
    EXPECT_LE(peak, ThreadBound());
}

TEST_F(ServiceLoad, HostileClientsHoldNothingLegitimateSignersNeed)
{
    zt::ThreadSampler threads(ServicePid());
    zt::HostileClients silent(zt::Hostility::Silent, 64);
    zt::HostileClients trickling(zt::Hostility::Trickling, 64);
    ASSERT_TRUE(silent.WaitConnected(30000));
    ASSERT_TRUE(trickling.WaitConnected(30000));

    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    const size_t mark = OutputMark();
    const zt::BurstResult r = zt::RunSigningBurst(provider, kKey, 32, 6);
    std::printf("[32 signers among 128 hostile clients] %s\n", r.Summary().c_str());
    EXPECT_TRUE(r.Clean()) << r.Summary();
    EXPECT_EQ(32u * 6, r.signatures);

    auto report = [](const char* kind, const std::vector<zt::HostileOutcome>& outcomes) {
        unsigned connected = 0;
        unsigned dropped = 0;
        ULONGLONG longest = 0;
        for (const zt::HostileOutcome& o : outcomes) {
            connected += o.connected ? 1 : 0;
            dropped += o.dropped ? 1 : 0;
            longest = std::max(longest, o.heldMs);
        }
        std::printf("[hostile] %s: %u connected, %u dropped, longest held %llu ms\n", kind, connected, dropped,
                    static_cast<unsigned long long>(longest));
        // A hostile client that found no instance proves nothing here.
        EXPECT_EQ(outcomes.size(), connected) << kind;
        // The trickle would take 14.4 s to finish its proof; a client still
        // connected at its end, or at the 20 s guard, was not dropped.
        EXPECT_EQ(outcomes.size(), dropped) << kind;
    };
    report("silent", silent.Join());
    report("trickling", trickling.Join());
    std::printf("[hostile] service: %s\n", OutcomesSince(mark).c_str());
    const unsigned peak = threads.Stop();
    std::printf("[hostile] service threads at most %u (bound %u)\n", peak, ThreadBound());
    EXPECT_LE(peak, ThreadBound());
    // And it serves on.
    const zt::BurstResult after = zt::RunSigningBurst(provider, kKey, 8, 2);
    EXPECT_TRUE(after.Clean()) << after.Summary();
}

}  // namespace
