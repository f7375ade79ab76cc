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

// Busy and total jiffies of all the machine's CPUs (Linux /proc/stat).
bool MachineJiffies(double* busy, double* total)
{
    HANDLE f = CreateFileA("Z:\\proc\\stat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buf[512] = {};
    DWORD got = 0;
    const BOOL ok = ReadFile(f, buf, sizeof(buf) - 1, &got, nullptr);
    CloseHandle(f);
    if (!ok) {
        return false;
    }
    // "cpu  user nice system idle iowait irq softirq steal ..."
    double v[8] = {};
    if (std::sscanf(buf, "cpu %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                    &v[7]) < 4) {
        return false;
    }
    *total = v[0] + v[1] + v[2] + v[3] + v[4] + v[5] + v[6] + v[7];
    *busy = *total - v[3] - v[4];
    return true;
}

bool RunThreads(const Provider& pv, NCRYPT_KEY_HANDLE key, int threads, DWORD instances,
                double seconds, Results* r)
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
    double busy0 = 0;
    double total0 = 0;
    const bool haveMachine = MachineJiffies(&busy0, &total0);
    const double t0 = NowUs();
    SetEvent(shared.go);
    Sleep(static_cast<DWORD>(seconds * 1000));
    InterlockedExchange(&shared.stop, 1);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    const double elapsed = (NowUs() - t0) / 1e6;
    double busy1 = 0;
    double total1 = 0;
    const double machineBusy = haveMachine && MachineJiffies(&busy1, &total1) && total1 > total0
                                   ? (busy1 - busy0) / (total1 - total0)
                                   : -1;
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
    row.load = LoadAverage();
    row.machineBusy = machineBusy;
    for (const Worker& w : workers) {
        row.ok += w.ok;
        row.failed += w.failed;
    }
    r->throughput.push_back(row);
    std::printf("throughput %2d threads, %2lu instances: %7.1f ops/s, %lld failures, machine busy %.0f %%, load %s\n",
                threads, instances, static_cast<double>(row.ok) / elapsed, row.failed, 100.0 * machineBusy,
                row.load.c_str());
    return true;
}

}  // namespace

std::string LoadAverage()
{
    HANDLE f = CreateFileA("Z:\\proc\\loadavg", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return "?";
    }
    char buf[128] = {};
    DWORD got = 0;
    const BOOL ok = ReadFile(f, buf, sizeof(buf) - 1, &got, nullptr);
    CloseHandle(f);
    if (!ok || got == 0) {
        return "?";
    }
    std::string text(buf, got);
    return text.substr(0, text.find(' '));
}

bool RunThroughput(const Settings& s, const Provider& pv, DWORD instances, Results* r)
{
    NCRYPT_KEY_HANDLE key = pv.Open(KeyName(2048));
    if (key == 0) {
        return false;
    }
    const double seconds = s.quick ? 0.5 : 5.0;
    bool ok = true;
    for (int threads : {1, 2, 4, 8, 16}) {
        ok = ok && RunThreads(pv, key, threads, instances, seconds, r);
    }
    pv.t->FreeKey(pv.prov, key);
    return ok;
}

}  // namespace bench
