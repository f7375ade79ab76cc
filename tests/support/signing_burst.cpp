#include "signing_burst.h"

#include "public_key_check.h"

#include <bcrypt.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace zt {

std::string BurstResult::Summary() const
{
    char line[256];
    std::snprintf(line, sizeof line, "opens=%llu open-failures=%llu signatures=%llu sign-failures=%llu wrong=%llu",
                  static_cast<unsigned long long>(opens), static_cast<unsigned long long>(openFailures),
                  static_cast<unsigned long long>(signatures), static_cast<unsigned long long>(signFailures),
                  static_cast<unsigned long long>(wrongSignatures));
    std::string out = line;
    for (const auto& [status, count] : statuses) {
        std::snprintf(line, sizeof line, " 0x%08lx:%llu", static_cast<unsigned long>(status),
                      static_cast<unsigned long long>(count));
        out += line;
    }
    return out;
}

namespace {

struct Shared {
    const LoadedProvider* provider;
    NCRYPT_PROV_HANDLE prov;
    const std::wstring* key;
    unsigned signs;
    unsigned threads;
    std::atomic<unsigned> ready{0};
    HANDLE go;
    std::mutex lock;
    BurstResult result;
};

void Count(Shared* s, bool open, SECURITY_STATUS status)
{
    std::lock_guard<std::mutex> guard(s->lock);
    ++(open ? s->result.openFailures : s->result.signFailures);
    ++s->result.statuses[static_cast<uint32_t>(status)];
}

void SignerThread(Shared* s)
{
    const auto& t = s->provider->table();
    NCRYPT_KEY_HANDLE key = 0;
    const SECURITY_STATUS opened = t.OpenKey(s->prov, &key, s->key->c_str(), 0, 0);
    std::vector<BYTE> blob;
    if (opened == 0) {
        DWORD size = 0;
        if (t.ExportKey(s->prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, &size, 0) == 0) {
            blob.resize(size);
            t.ExportKey(s->prov, key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob.data(), size, &size, 0);
        }
    } else {
        Count(s, true, opened);
    }
    if (++s->ready == s->threads) {
        SetEvent(s->go);
    }
    WaitForSingleObject(s->go, INFINITE);
    if (opened != 0) {
        return;
    }
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    uint64_t wrong = 0;
    for (unsigned i = 0; i < s->signs; ++i) {
        std::vector<BYTE> hash(32);
        BCryptGenRandom(nullptr, hash.data(), 32, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        std::vector<BYTE> signature(1024);
        DWORD size = 0;
        const SECURITY_STATUS status = t.SignHash(s->prov, key, &padding, hash.data(), 32, signature.data(),
                                                  static_cast<DWORD>(signature.size()), &size, NCRYPT_PAD_PKCS1_FLAG);
        if (status != 0) {
            Count(s, false, status);
            continue;
        }
        signature.resize(size);
        if (!BCryptVerifies(blob, &padding, hash, signature, BCRYPT_PAD_PKCS1)) {
            ++wrong;
        }
    }
    t.FreeKey(s->prov, key);
    std::lock_guard<std::mutex> guard(s->lock);
    s->result.wrongSignatures += wrong;
}

}  // namespace

BurstResult RunSigningBurst(const LoadedProvider& provider, const std::wstring& key, unsigned threads,
                            unsigned signsPerThread, HANDLE start)
{
    Shared s;
    s.provider = &provider;
    s.key = &key;
    s.signs = signsPerThread;
    s.threads = threads;
    s.prov = 0;
    s.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s.go == nullptr || !provider.ok() || provider->OpenProvider(&s.prov, L"Zentrava Key Storage Provider", 0) != 0) {
        s.result.openFailures = threads;
        if (s.go != nullptr) {
            CloseHandle(s.go);
        }
        return s.result;
    }
    if (start != nullptr) {
        WaitForSingleObject(start, INFINITE);
    }
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        workers.emplace_back(SignerThread, &s);
    }
    for (std::thread& w : workers) {
        w.join();
    }
    provider->FreeProvider(s.prov);
    CloseHandle(s.go);
    s.result.opens = threads;
    s.result.signatures = static_cast<uint64_t>(threads) * signsPerThread - s.result.openFailures * signsPerThread;
    return s.result;
}

}  // namespace zt
