// The provider under load and faults against the reference signing service:
// sixteen threads mixing every operation, the service killed and restarted
// under running threads, and several processes making their first exchange
// at the same moment.
#include "ksp_status.h"
#include "provider_loader.h"
#include "robust_support.h"

#include <gtest/gtest.h>

#include <bcrypt.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t* const kKeys[] = {L"load-a", L"load-b"};
constexpr DWORD kKeyBytes = 256;

std::unique_ptr<zt::ServiceWithKeys> g_service;

class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_service = std::make_unique<zt::ServiceWithKeys>();
        std::string error;
        ASSERT_TRUE(g_service->Start({{kKeys[0], 2048}, {kKeys[1], 2048}}, 40, &error)) << error;
    }
    void TearDown() override { g_service.reset(); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

// Small deterministic generator per thread.
struct Rng {
    uint64_t s;
    uint32_t Next()
    {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
};

enum Op { kOpenKey, kSign, kDecrypt, kEncrypt, kVerify, kProperty, kOpCount };
const char* const kOpNames[] = {"OpenKey", "SignHash", "Decrypt", "Encrypt", "VerifySignature", "GetKeyProperty"};

struct KeyMaterial {
    NCRYPT_KEY_HANDLE handle = 0;
    std::vector<BYTE> publicBlob;
    std::vector<BYTE> ciphertext;
    std::vector<BYTE> hash;
    std::vector<BYTE> signature;
};

class LoadAndFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(g_service && g_service->process() && g_service->process()->Running());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
        const char text[] = "load plaintext";
        plaintext.assign(text, text + sizeof text - 1);
        for (int i = 0; i < 2; ++i) {
            KeyMaterial& k = keys[i];
            ASSERT_EQ(0, provider->OpenKey(prov, &k.handle, kKeys[i], 0, 0));
            DWORD size = 0;
            ASSERT_EQ(0, provider->ExportKey(prov, k.handle, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, &size, 0));
            k.publicBlob.resize(size);
            ASSERT_EQ(0, provider->ExportKey(prov, k.handle, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, k.publicBlob.data(),
                                             size, &size, 0));
            k.ciphertext.resize(kKeyBytes);
            ASSERT_EQ(0, provider->Encrypt(prov, k.handle, plaintext.data(), static_cast<DWORD>(plaintext.size()),
                                           nullptr, k.ciphertext.data(), kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG));
            k.hash = zt::Sha256("load verify");
            k.signature.resize(kKeyBytes);
            BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
            ASSERT_EQ(0, provider->SignHash(prov, k.handle, &padding, k.hash.data(), 32, k.signature.data(), kKeyBytes,
                                            &size, NCRYPT_PAD_PKCS1_FLAG));
            ASSERT_TRUE(zt::BCryptVerifies(k.publicBlob, &padding, k.hash, k.signature, BCRYPT_PAD_PKCS1));
        }
    }
    void TearDown() override
    {
        for (KeyMaterial& k : keys) {
            if (k.handle != 0) {
                EXPECT_EQ(0, provider->FreeKey(prov, k.handle));
            }
        }
        EXPECT_EQ(0, provider->FreeProvider(prov));
    }

    // One operation; returns its status, and in *wrong whether a success
    // came with a wrong result (a signature that does not verify, a wrong
    // plaintext, a wrong property).
    SECURITY_STATUS RunOp(Op op, Rng& rng, bool* wrong)
    {
        *wrong = false;
        const int which = static_cast<int>(rng.Next() % 2);
        KeyMaterial& k = keys[which];
        switch (op) {
        case kOpenKey: {
            NCRYPT_KEY_HANDLE h = 0;
            const SECURITY_STATUS s = provider->OpenKey(prov, &h, kKeys[which], 0, 0);
            if (s == 0) {
                DWORD bits = 0;
                DWORD size = 0;
                *wrong = provider->GetKeyProperty(prov, h, L"Length", reinterpret_cast<BYTE*>(&bits), 4, &size, 0) != 0 ||
                         bits != 2048;
                const SECURITY_STATUS freed = provider->FreeKey(prov, h);
                return freed != 0 ? freed : s;
            }
            return s;
        }
        case kSign: {
            const std::string text = "load hash " + std::to_string(rng.Next());
            const std::vector<BYTE> hash = zt::Sha256(text);
            BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
            std::vector<BYTE> signature(kKeyBytes);
            DWORD size = 0;
            const SECURITY_STATUS s =
                provider->SignHash(prov, k.handle, &padding, const_cast<BYTE*>(hash.data()), 32, signature.data(),
                                   kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG);
            if (s == 0) {
                signature.resize(size);
                *wrong = !zt::BCryptVerifies(k.publicBlob, &padding, hash, signature, BCRYPT_PAD_PKCS1);
            }
            return s;
        }
        case kDecrypt: {
            std::vector<BYTE> out(kKeyBytes);
            DWORD size = 0;
            const SECURITY_STATUS s = provider->Decrypt(prov, k.handle, k.ciphertext.data(), kKeyBytes, nullptr,
                                                        out.data(), kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG);
            if (s == 0) {
                out.resize(size);
                *wrong = out != plaintext;
            }
            return s;
        }
        case kEncrypt: {
            std::vector<BYTE> out(kKeyBytes);
            DWORD size = 0;
            const SECURITY_STATUS s =
                provider->Encrypt(prov, k.handle, plaintext.data(), static_cast<DWORD>(plaintext.size()), nullptr,
                                  out.data(), kKeyBytes, &size, NCRYPT_PAD_PKCS1_FLAG);
            *wrong = s == 0 && size != kKeyBytes;
            return s;
        }
        case kVerify: {
            BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
            return provider->VerifySignature(prov, k.handle, &padding, k.hash.data(), 32, k.signature.data(),
                                             static_cast<DWORD>(k.signature.size()), NCRYPT_PAD_PKCS1_FLAG);
        }
        default: {
            wchar_t name[64] = {};
            DWORD size = 0;
            const SECURITY_STATUS s = provider->GetKeyProperty(prov, k.handle, L"Name", reinterpret_cast<BYTE*>(name),
                                                               sizeof name - 2, &size, 0);
            *wrong = s == 0 && std::wcscmp(name, kKeys[which]) != 0;
            return s;
        }
        }
    }

    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
    KeyMaterial keys[2];
    std::vector<BYTE> plaintext;
};

TEST_F(LoadAndFaults, SixteenThreadsMixingOperations)
{
    constexpr int kThreads = 16;
    constexpr DWORD kRunMs = 6000;
    uint64_t seed = GetTickCount64();
    std::atomic<uint64_t> done[kOpCount] = {};
    std::atomic<uint64_t> failed{0};
    std::atomic<uint64_t> wrongResults{0};
    std::atomic<bool> stop{false};
    std::vector<std::string> firstProblems(kThreads);
    {
        zt::Interposer spy(provider.module());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                Rng rng{seed + static_cast<uint64_t>(t) * 7919};
                while (!stop.load()) {
                    const Op op = static_cast<Op>(rng.Next() % kOpCount);
                    bool wrong = false;
                    const SECURITY_STATUS s = RunOp(op, rng, &wrong);
                    ++done[op];
                    if (s != 0 || wrong) {
                        (s != 0 ? failed : wrongResults)++;
                        if (firstProblems[t].empty()) {
                            char text[96];
                            std::snprintf(text, sizeof text, "%s: status 0x%08lx%s", kOpNames[op],
                                          static_cast<unsigned long>(s), wrong ? ", wrong result" : "");
                            firstProblems[t] = text;
                        }
                    }
                }
            });
        }
        Sleep(kRunMs);
        stop = true;
        for (std::thread& th : threads) {
            th.join();
        }
        EXPECT_EQ("", zt::HygieneProblems(spy));
    }
    uint64_t total = 0;
    std::string perOp;
    for (int op = 0; op < kOpCount; ++op) {
        total += done[op];
        perOp += std::string(" ") + kOpNames[op] + "=" + std::to_string(done[op].load());
        EXPECT_GT(done[op].load(), 0u) << kOpNames[op];
    }
    std::printf("[load] %d threads, %lu ms: %llu operations (%s), %llu failures, %llu wrong results\n", kThreads,
                static_cast<unsigned long>(kRunMs), static_cast<unsigned long long>(total), perOp.c_str() + 1,
                static_cast<unsigned long long>(failed.load()), static_cast<unsigned long long>(wrongResults.load()));
    EXPECT_EQ(0u, failed.load());
    EXPECT_EQ(0u, wrongResults.load());
    for (const std::string& p : firstProblems) {
        EXPECT_EQ("", p);
    }
}

// While the service is down, remote operations fail with the statuses the
// provider gives for an unreachable service, local ones keep working; once
// it is back, the same process succeeds again without reloading anything.
TEST_F(LoadAndFaults, ServiceKilledAndRestartedUnderLoad)
{
    constexpr int kThreads = 6;
    enum Phase { kUp = 0, kDown = 1, kBack = 2, kChanging = 3 };
    std::atomic<int> phase{kUp};
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> count[3][kOpCount] = {};
    std::atomic<uint64_t> succeeded[3][kOpCount] = {};
    std::atomic<uint64_t> transitions{0};
    std::atomic<uint64_t> bad{0};
    std::vector<std::string> problems(kThreads);
    auto allowedWhileDown = [](Op op, SECURITY_STATUS s) {
        switch (op) {
        case kOpenKey: return s == NTE_BAD_KEYSET;
        case kSign:
        case kDecrypt: return s == NTE_INTERNAL_ERROR;
        default: return false;  // local operations do not need the service
        }
    };
    {
        zt::Interposer spy(provider.module());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                Rng rng{0x1234u + static_cast<uint64_t>(t)};
                while (!stop.load()) {
                    const Op op = static_cast<Op>(rng.Next() % kOpCount);
                    const int before = phase.load();
                    bool wrong = false;
                    const SECURITY_STATUS s = RunOp(op, rng, &wrong);
                    const int after = phase.load();
                    bool ok = !wrong;
                    if (before != after || before == kChanging) {
                        ++transitions;
                        ok = ok && (s == 0 || allowedWhileDown(op, s));
                    } else {
                        ++count[before][op];
                        succeeded[before][op] += s == 0 ? 1 : 0;
                        ok = ok && (before == kDown ? (s == 0 || allowedWhileDown(op, s)) : s == 0);
                    }
                    if (!ok) {
                        ++bad;
                        if (problems[t].empty()) {
                            char text[128];
                            std::snprintf(text, sizeof text, "%s in phase %d->%d: status 0x%08lx%s", kOpNames[op],
                                          before, after, static_cast<unsigned long>(s), wrong ? ", wrong result" : "");
                            problems[t] = text;
                        }
                    }
                    Sleep(1);
                }
            });
        }
        // While the service goes down or comes up, either outcome is right.
        Sleep(1500);
        phase = kChanging;
        const bool killed = g_service->Kill();
        phase = kDown;
        Sleep(2000);
        phase = kChanging;
        std::string error;
        const bool restarted = g_service->Restart(&error);
        phase = kBack;
        Sleep(restarted ? 2000 : 0);
        stop = true;
        for (std::thread& th : threads) {
            th.join();
        }
        ASSERT_TRUE(killed);
        ASSERT_TRUE(restarted) << error;
        EXPECT_EQ("", zt::HygieneProblems(spy));
    }
    static const char* const kPhaseNames[] = {"before", "down", "after restart"};
    for (int p = 0; p < 3; ++p) {
        std::string line;
        for (int op = 0; op < kOpCount; ++op) {
            line += std::string(" ") + kOpNames[op] + "=" + std::to_string(succeeded[p][op].load()) + "/" +
                    std::to_string(count[p][op].load());
        }
        std::printf("[kill] %-13s succeeded/run:%s\n", kPhaseNames[p], line.c_str());
    }
    std::printf("[kill] %llu operations spanned a phase change, %llu unexpected outcomes\n",
                static_cast<unsigned long long>(transitions.load()), static_cast<unsigned long long>(bad.load()));
    EXPECT_EQ(0u, bad.load());
    for (const std::string& p : problems) {
        EXPECT_EQ("", p);
    }
    // Down really meant down, and back really meant back, for each remote operation.
    for (Op op : {kOpenKey, kSign, kDecrypt}) {
        EXPECT_GT(count[kDown][op].load(), 0u) << kOpNames[op];
        EXPECT_EQ(0u, succeeded[kDown][op].load()) << kOpNames[op];
        EXPECT_GT(succeeded[kBack][op].load(), 0u) << kOpNames[op];
    }
}

// Several processes on a fresh data root, released at the same moment, each
// making its first exchange: all succeed and the folder holds one secret file.
TEST(FirstExchange, SeveralProcessesAtTheSameMoment)
{
    constexpr int kProcesses = 6;
    zt::ServiceWithKeys fresh;
    // The shared service is not needed here; a second one on the same pipe
    // name would compete with it.
    g_service->Stop();
    std::string error;
    ASSERT_TRUE(fresh.Start({{L"first", 2048}}, 16, &error)) << error;
    bool exists = false;
    const std::vector<BYTE> secretBefore = zt::ReadWholeFile(fresh.root().secretFile(), &exists);
    ASSERT_TRUE(exists);

    const std::wstring eventName = L"ZentravaRobustGo" + std::to_wstring(GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(nullptr, go);
    std::vector<PROCESS_INFORMATION> children;
    for (int i = 0; i < kProcesses; ++i) {
        std::wstring cmd = L"\"" + zt::BesideExe(L"exchange_probe.exe") + L"\" " + eventName + L" first";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        children.push_back(pi);
    }
    Sleep(3000);  // every child has loaded the provider and waits
    SetEvent(go);
    int succeeded = 0;
    for (PROCESS_INFORMATION& pi : children) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 60000));
        DWORD code = 99;
        GetExitCodeProcess(pi.hProcess, &code);
        EXPECT_EQ(0u, code);
        succeeded += code == 0 ? 1 : 0;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(go);
    std::printf("[first exchange] %d processes at once, %d succeeded\n", kProcesses, succeeded);

    std::vector<std::string> entries;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((fresh.root().folder() + "\\*").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != ".." && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            entries.push_back(name);
        }
    } while (FindNextFileA(find, &found));
    FindClose(find);
    EXPECT_EQ(std::vector<std::string>{"pipe.secret"}, entries);
    EXPECT_EQ(secretBefore, zt::ReadWholeFile(fresh.root().secretFile(), &exists));
    EXPECT_TRUE(fresh.Stop());
}

}  // namespace
