// The concurrency curve: 1 to 256 client threads signing at once (RSA-2048
// SignHash, PKCS#1 v1.5, through the DLL) against the service with its
// defaults. Every signature is verified. Per point: the rate, the failures,
// the service's peak thread count and the CPU time of every process the
// exchanges run in (this client, the service, the wineserver and Wine's
// other processes of the prefix), so that the CPU per signature and the
// bound it sets on the rate can be set against the rate reached. This
// process's CPU comes from GetProcessTimes; the others' from /proc, since
// Wine's GetProcessTimes does not see other processes (checked each time).
#include "bench.h"
#include "proc_stats.h"
#include "service_threads.h"
#include "unique_resource.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace bench {

namespace {

// 0: no client, what the processes cost while nothing is signed.
constexpr int kClients[] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256};
constexpr size_t kPoints = sizeof(kClients) / sizeof(kClients[0]);
constexpr int kMaxClients = 256;
constexpr DWORD kSettleMs = 200;       // rest before each segment, as in the throughput runs
// Thread count sampling: a Toolhelp snapshot costs some 5 ms of CPU here.
constexpr DWORD kSampleMs = 250;
constexpr DWORD kThreadStack = 256 * 1024;

// One client's own key handle, and the public key it verifies with.
struct ClientKey {
    NCRYPT_KEY_HANDLE key = 0;
    BCRYPT_KEY_HANDLE pub = nullptr;
};

struct Start {
    HANDLE go = nullptr;
    volatile LONG ready = 0;
    volatile LONG stop = 0;
};

// Counters are read by the main thread while the client runs; each client
// has its own cache line.
struct alignas(64) Client {
    const Provider* pv = nullptr;
    const ClientKey* key = nullptr;
    Start* start = nullptr;
    ULONG index = 0;
    volatile LONG64 verified = 0;
    volatile LONG64 failed = 0;
    volatile LONG64 wrong = 0;
    volatile LONG firstFailure = 0;
};

DWORD WINAPI ClientLoop(void* arg)
{
    Client* c = static_cast<Client*>(arg);
    BYTE hash[32];
    FixedHash(hash);
    memcpy(hash + 4, &c->index, sizeof(c->index));
    InterlockedIncrement(&c->start->ready);
    WaitForSingleObject(c->start->go, INFINITE);
    for (ULONG n = 0; InterlockedCompareExchange(&c->start->stop, 0, 0) == 0; ++n) {
        // A different value for every call of every client.
        memcpy(hash, &n, sizeof(n));
        BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
        BYTE signature[512];
        DWORD written = 0;
        const SECURITY_STATUS st = c->pv->t->SignHash(c->pv->prov, c->key->key, &pkcs1, hash, sizeof(hash), signature,
                                                      sizeof(signature), &written, NCRYPT_PAD_PKCS1_FLAG);
        if (st != 0) {
            InterlockedCompareExchange(&c->firstFailure, st, 0);
            InterlockedIncrement64(&c->failed);
            continue;
        }
        const NTSTATUS v = BCryptVerifySignature(c->key->pub, &pkcs1, hash, sizeof(hash), signature, written,
                                                 BCRYPT_PAD_PKCS1);
        InterlockedIncrement64(v == 0 ? &c->verified : &c->wrong);
    }
    return 0;
}

// The processes whose CPU time makes up a signature.
struct Watched {
    HANDLE service = nullptr;  // to see what GetProcessTimes says of it
    std::string servicePid;    // Linux ids
    std::string benchPid;
    std::string wineserverPid;
    std::vector<std::string> otherPids;  // Wine's own processes of the prefix
};

struct Snapshot {
    double us = 0;
    long long verified = 0;
    double client = -1;
    double clientLinux = -1;
    double service = -1;
    bool serviceTimesAreOurs = false;
    double wineserver = -1;
    double other = -1;
    double busyJiffies = 0;
    double totalJiffies = 0;
    bool jiffies = false;
};

Snapshot Take(const Watched& w, const std::vector<std::unique_ptr<Client>>& clients, size_t n)
{
    Snapshot s;
    s.us = NowUs();
    for (size_t i = 0; i < n; ++i) {
        s.verified += InterlockedCompareExchange64(&clients[i]->verified, 0, 0);
    }
    s.client = WindowsProcessSeconds(GetCurrentProcess());
    s.serviceTimesAreOurs = WindowsProcessSeconds(w.service) == s.client;
    s.clientLinux = LinuxProcessSeconds(w.benchPid);
    s.service = LinuxProcessSeconds(w.servicePid);
    s.wineserver = LinuxProcessSeconds(w.wineserverPid);
    s.other = 0;
    for (const std::string& pid : w.otherPids) {
        const double t = LinuxProcessSeconds(pid);
        s.other += t > 0 ? t : 0;  // one that has ended counts nothing
    }
    s.jiffies = MachineJiffies(&s.busyJiffies, &s.totalJiffies);
    return s;
}

// CPU seconds per second between two readings; -1 if either is missing.
double PerSecond(double a, double b, double seconds)
{
    return a < 0 || b < 0 ? -1 : (b - a) / seconds;
}

struct Segment {
    double seconds = 0;   // the measured window
    long long verified = 0;  // within it
    long long calls = 0;  // whole segment
    long long failed = 0;
    long long wrong = 0;
    unsigned long firstFailure = 0;
    unsigned peakThreads = 0;
    double client = -1, clientLinux = -1, service = -1, wineserver = -1, other = -1;
    bool serviceTimesAreOurs = false;
    double machineBusy = -1;
};

// `n` clients start together, sign for `warmMs` unmeasured (the simultaneous
// start), then for `windowMs` measured, then finish the call they are in.
bool RunSegment(const Provider& pv, const std::vector<ClientKey>& keys, const Watched& w, DWORD servicePid, size_t n,
                DWORD warmMs, DWORD windowMs, Segment* out)
{
    Start start;
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!go) {
        return false;
    }
    start.go = go.get();
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<UniqueHandle> threads;
    for (size_t i = 0; i < n; ++i) {
        clients.push_back(std::make_unique<Client>());
        Client& c = *clients.back();
        c.pv = &pv;
        c.key = &keys[i];
        c.start = &start;
        c.index = static_cast<ULONG>(i);
        threads.emplace_back(
            CreateThread(nullptr, kThreadStack, ClientLoop, &c, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
        if (!threads.back()) {
            std::printf("concurrency: cannot start client thread %zu (%lu)\n", i, GetLastError());
            InterlockedExchange(&start.stop, 1);
            SetEvent(start.go);
            threads.pop_back();
            for (UniqueHandle& t : threads) {
                WaitForSingleObject(t.get(), INFINITE);
            }
            return false;
        }
    }
    while (static_cast<size_t>(InterlockedCompareExchange(&start.ready, 0, 0)) < n) {
        Sleep(1);
    }
    // The service finishes the previous segment's last exchanges (the
    // clients' close, logging, closing instances above its reserve) after
    // that segment's clients have stopped; that must not land in this one.
    Sleep(kSettleMs);
    zt::ThreadSampler sampler(servicePid, kSampleMs);
    SetEvent(start.go);
    Sleep(warmMs);
    const Snapshot a = Take(w, clients, n);
    Sleep(windowMs);
    const Snapshot b = Take(w, clients, n);
    InterlockedExchange(&start.stop, 1);
    for (UniqueHandle& t : threads) {
        WaitForSingleObject(t.get(), INFINITE);
    }
    out->peakThreads = sampler.Stop();
    out->seconds = (b.us - a.us) / 1e6;
    out->verified = b.verified - a.verified;
    for (const auto& c : clients) {
        out->calls += c->verified + c->failed + c->wrong;
        out->failed += c->failed;
        out->wrong += c->wrong;
        if (out->firstFailure == 0 && c->firstFailure != 0) {
            out->firstFailure = static_cast<unsigned long>(c->firstFailure);
        }
    }
    const double s = out->seconds;
    out->client = PerSecond(a.client, b.client, s);
    out->service = PerSecond(a.service, b.service, s);
    out->clientLinux = PerSecond(a.clientLinux, b.clientLinux, s);
    out->serviceTimesAreOurs = a.serviceTimesAreOurs || b.serviceTimesAreOurs;
    out->wineserver = PerSecond(a.wineserver, b.wineserver, s);
    out->other = PerSecond(a.other, b.other, s);
    out->machineBusy = a.jiffies && b.jiffies && b.totalJiffies > a.totalJiffies
                           ? (b.busyJiffies - a.busyJiffies) / (b.totalJiffies - a.totalJiffies)
                           : -1;
    return true;
}

// Every client's own key handle (opened once: opening is an exchange too)
// and a BCrypt copy of the public key to verify with.
bool OpenClientKeys(const Provider& pv, std::vector<ClientKey>* keys)
{
    BYTE blob[1024];
    DWORD blobLen = 0;
    for (int i = 0; i < kMaxClients; ++i) {
        ClientKey k;
        k.key = pv.Open(KeyName(2048));
        if (k.key == 0) {
            return false;
        }
        keys->push_back(k);
        if (i == 0 && pv.t->ExportKey(pv.prov, k.key, 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob, sizeof(blob),
                                      &blobLen, 0) != 0) {
            std::printf("concurrency: cannot export the public key\n");
            return false;
        }
    }
    BCRYPT_ALG_HANDLE rsa = nullptr;
    if (BCryptOpenAlgorithmProvider(&rsa, BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0) {
        return false;
    }
    bool ok = true;
    for (ClientKey& k : *keys) {
        ok = ok && BCryptImportKeyPair(rsa, nullptr, BCRYPT_RSAPUBLIC_BLOB, &k.pub, blob, blobLen, 0) == 0;
    }
    BCryptCloseAlgorithmProvider(rsa, 0);
    return ok;
}

void CloseClientKeys(const Provider& pv, std::vector<ClientKey>* keys)
{
    for (ClientKey& k : *keys) {
        if (k.pub != nullptr) {
            BCryptDestroyKey(k.pub);
        }
        pv.t->FreeKey(pv.prov, k.key);
    }
    keys->clear();
}

bool WatchProcesses(DWORD servicePid, Watched* w, std::string* otherNames)
{
    w->service = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, servicePid);
    if (w->service == nullptr) {
        std::printf("concurrency: cannot open the service process (%lu)\n", GetLastError());
        return false;
    }
    for (const PrefixProcess& p : PrefixProcesses()) {
        if (p.comm.rfind("ZentravaSigning", 0) == 0) {
            w->servicePid = p.pid;
        } else if (p.comm.rfind("wineserver", 0) == 0) {
            w->wineserverPid = p.pid;
        } else if (p.comm.rfind(kBenchComm, 0) == 0) {
            w->benchPid = p.pid;
        } else {
            w->otherPids.push_back(p.pid);
            *otherNames += (otherNames->empty() ? "" : ", ") + p.comm;
        }
    }
    return true;
}

double Median(std::vector<double> v)
{
    return Summarize(std::move(v)).median;
}

}  // namespace

// Every point in short segments, all points in turn and the order rotated
// each round, so that the machine's changing load hits every point alike;
// each figure is the median over the rounds.
bool RunConcurrency(const Settings& s, const Provider& pv, DWORD servicePid, Results* r)
{
    const int rounds = s.quick ? 2 : 5;
    const DWORD warmMs = s.quick ? 100 : 300;
    const DWORD windowMs = s.quick ? 300 : 1500;
    r->cores = MachineCores();
    r->curveWarmSeconds = warmMs / 1000.0;
    r->curveWindowSeconds = windowMs / 1000.0;
    r->curveSampleMs = kSampleMs;
    r->serviceIdleThreads = zt::CountThreads(servicePid);
    Watched w;
    if (!WatchProcesses(servicePid, &w, &r->otherProcesses)) {
        return false;
    }
    UniqueHandle serviceHandle(w.service);
    std::vector<ClientKey> keys;
    if (!OpenClientKeys(pv, &keys)) {
        CloseClientKeys(pv, &keys);
        return false;
    }
    std::vector<std::vector<Segment>> segments(kPoints);
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        for (size_t k = 0; k < kPoints && ok; ++k) {
            const size_t p = (k + static_cast<size_t>(round)) % kPoints;
            Segment seg;
            ok = RunSegment(pv, keys, w, servicePid, static_cast<size_t>(kClients[p]), warmMs, windowMs, &seg);
            segments[p].push_back(seg);
        }
    }
    CloseClientKeys(pv, &keys);
    if (!ok) {
        return false;
    }
    for (size_t p = 0; p < kPoints; ++p) {
        CurvePoint point;
        point.clients = kClients[p];
        point.rounds = rounds;
        std::vector<double> rate, client, clientLinux, service, wineserver, other, busy, ours, others, perSig;
        std::vector<double> clientPerSig, servicePerSig, wineserverPerSig;
        for (const Segment& seg : segments[p]) {
            point.seconds += seg.seconds;
            point.signatures += seg.verified;
            point.calls += seg.calls;
            point.failed += seg.failed;
            point.wrong += seg.wrong;
            point.firstFailure = point.firstFailure != 0 ? point.firstFailure : seg.firstFailure;
            point.servicePeakThreads = seg.peakThreads > point.servicePeakThreads ? seg.peakThreads
                                                                                  : point.servicePeakThreads;
            rate.push_back(static_cast<double>(seg.verified) / seg.seconds);
            client.push_back(seg.client);
            service.push_back(seg.service);
            clientLinux.push_back(seg.clientLinux);
            r->processTimesOfOthersAreOurs = r->processTimesOfOthersAreOurs || seg.serviceTimesAreOurs;
            wineserver.push_back(seg.wineserver);
            other.push_back(seg.other);
            busy.push_back(seg.machineBusy);
            if (seg.client >= 0 && seg.service >= 0 && seg.wineserver >= 0 && seg.other >= 0) {
                const double cpu = seg.client + seg.service + seg.wineserver + seg.other;
                ours.push_back(cpu / r->cores);
                if (seg.verified > 0) {
                    const double perSignature = seg.seconds / static_cast<double>(seg.verified);
                    perSig.push_back(cpu * perSignature);
                    clientPerSig.push_back(seg.client * perSignature);
                    servicePerSig.push_back(seg.service * perSignature);
                    wineserverPerSig.push_back(seg.wineserver * perSignature);
                }
                if (seg.machineBusy >= 0) {
                    others.push_back(seg.machineBusy - cpu / r->cores);
                }
            }
        }
        point.rate = Summarize(rate);
        point.clientCpu = Median(client);
        point.serviceCpu = Median(service);
        point.clientCpuLinux = Median(clientLinux);
        point.wineserverCpu = Median(wineserver);
        point.otherCpu = Median(other);
        point.machineBusy = Median(busy);
        point.oursBusy = ours.empty() ? -1 : Median(ours);
        point.othersBusy = others.empty() ? -2 : Median(others);
        point.cpuPerSignature = perSig.empty() ? -1 : Median(perSig);
        point.clientPerSignature = clientPerSig.empty() ? -1 : Median(clientPerSig);
        point.servicePerSignature = servicePerSig.empty() ? -1 : Median(servicePerSig);
        point.wineserverPerSignature = wineserverPerSig.empty() ? -1 : Median(wineserverPerSig);
        r->curve.push_back(point);
        std::printf("concurrency %3d clients: %6.1f signatures/s (%.1f-%.1f), %lld failures, %lld wrong, service "
                    "threads <= %u, CPU of one core: service %.0f %%, client %.0f %% (Linux %.0f %%), "
                    "wineserver %.0f %%, other %.0f %%; %.2f ms CPU per signature; machine busy %.0f %%\n",
                    point.clients, point.rate.median, point.rate.p10, point.rate.p90, point.failed, point.wrong,
                    point.servicePeakThreads, 100 * point.serviceCpu,
                    100 * point.clientCpu, 100 * point.clientCpuLinux, 100 * point.wineserverCpu,
                    100 * point.otherCpu, 1000 * point.cpuPerSignature, 100 * point.machineBusy);
    }
    return true;
}

}  // namespace bench
