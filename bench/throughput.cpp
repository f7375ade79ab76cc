// Item 4: signatures per second with 1 to 16 client threads on one key
// handle, for a fixed time each, against a service with a given number of
// pipe instances. A failed exchange is counted, not retried.
#include "bench.h"

#include <cstdio>

namespace bench {

namespace {

struct Shared {
    const Provider* pv = nullptr;
    NCRYPT_KEY_HANDLE key = 0;
    HANDLE go = nullptr;
    volatile LONG stop = 0;
};

struct Worker {
    Shared* shared = nullptr;
    long long ok = 0;
    long long failed = 0;
};

DWORD WINAPI SignLoop(void* arg)
{
    Worker* w = static_cast<Worker*>(arg);
    const Shared* s = w->shared;
    BYTE hash[32];
    FixedHash(hash);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE sig[512];
    DWORD got = 0;
    WaitForSingleObject(s->go, INFINITE);
    while (InterlockedCompareExchange(const_cast<volatile LONG*>(&s->stop), 0, 0) == 0) {
        if (s->pv->t->SignHash(s->pv->prov, s->key, &pkcs1, hash, 32, sig, sizeof(sig), &got,
                               NCRYPT_PAD_PKCS1_FLAG) == 0) {
            ++w->ok;
        } else {
            ++w->failed;
        }
    }
    return 0;
}

bool RunThreads(const Provider& pv, NCRYPT_KEY_HANDLE key, int threads, DWORD instances, double seconds,
                Results* r)
{
    Shared shared;
    shared.pv = &pv;
    shared.key = key;
    shared.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<Worker> workers(static_cast<size_t>(threads));
    std::vector<HANDLE> handles;
    for (Worker& w : workers) {
        w.shared = &shared;
        HANDLE h = CreateThread(nullptr, 0, SignLoop, &w, 0, nullptr);
        if (h == nullptr) {
            break;
        }
        handles.push_back(h);
    }
    const double t0 = NowUs();
    SetEvent(shared.go);
    Sleep(static_cast<DWORD>(seconds * 1000));
    InterlockedExchange(&shared.stop, 1);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    const double elapsed = (NowUs() - t0) / 1e6;
    for (HANDLE h : handles) {
        CloseHandle(h);
    }
    CloseHandle(shared.go);
    if (handles.size() != workers.size()) {
        return false;
    }
    ThroughputRow row;
    row.threads = threads;
    row.instances = instances;
    row.seconds = elapsed;
    for (const Worker& w : workers) {
        row.ok += w.ok;
        row.failed += w.failed;
    }
    r->throughput.push_back(row);
    std::printf("throughput %2d threads, %2lu instances: %7.1f ops/s, %lld failures\n", threads, instances,
                static_cast<double>(row.ok) / elapsed, row.failed);
    return true;
}

}  // namespace

bool RunThroughput(const Settings& s, const Provider& pv, DWORD instances, Results* r)
{
    NCRYPT_KEY_HANDLE key = pv.Open(KeyName(2048));
    if (key == 0) {
        return false;
    }
    const double seconds = s.quick ? 0.5 : 3.0;
    bool ok = true;
    for (int threads : {1, 2, 4, 8, 16}) {
        ok = ok && RunThreads(pv, key, threads, instances, seconds, r);
    }
    pv.t->FreeKey(pv.prov, key);
    return ok;
}

}  // namespace bench
