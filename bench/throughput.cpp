// Signatures (or OpenKey exchanges) per second with 1 and 2 client threads
// on one key handle, for a fixed time each. A failed exchange is counted,
// not retried. The SignHash pair is what scripts/bench.sh runs again with
// every process confined to one CPU; the OpenKey pair is the exchange
// without a private-key operation. (Many clients: concurrency.cpp.)
#include "bench.h"
#include "proc_stats.h"

#include <cstdio>

namespace bench {

namespace {

struct Shared {
    const Provider* pv = nullptr;
    NCRYPT_KEY_HANDLE key = 0;
    ThroughputOp op = ThroughputOp::SignHash;
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
    WaitForSingleObject(s->go, INFINITE);
    while (InterlockedCompareExchange(const_cast<volatile LONG*>(&s->stop), 0, 0) == 0) {
        bool done = false;
        if (s->op == ThroughputOp::SignHash) {
            done = s->pv->SignFixedHash(s->key) == 0;
        } else {
            NCRYPT_KEY_HANDLE opened = 0;
            done = s->pv->t->OpenKey(s->pv->prov, &opened, KeyName(2048), 0, 0) == 0;
            if (done) {
                s->pv->t->FreeKey(s->pv->prov, opened);
            }
        }
        if (done) {
            ++w->ok;
        } else {
            ++w->failed;
        }
    }
    return 0;
}

// Queue wait of the wineserver, the service and this process together.
struct Processes {
    std::string wineserver;
    std::string service;
    std::string bench;
};

double QueueWait(const Processes& p)
{
    const double a = QueueWaitSeconds(p.wineserver);
    const double b = QueueWaitSeconds(p.service);
    const double c = QueueWaitSeconds(p.bench);
    return a < 0 || b < 0 || c < 0 ? -1 : a + b + c;
}

constexpr DWORD kSettleMs = 200;

struct Segment {
    long long ok = 0;
    long long failed = 0;
    double seconds = 0;
    double machineBusy = -1;
    double wineserverBusy = -1;  // its CPU seconds per second
    double queueWait = -1;       // threads runnable but waiting for a CPU, on average
};

// `threads` threads sign for `seconds`.
bool RunThreads(const Provider& pv, NCRYPT_KEY_HANDLE key, ThroughputOp op, int threads, double seconds,
                const Processes& procs, Segment* out)
{
    Shared shared;
    shared.pv = &pv;
    shared.key = key;
    shared.op = op;
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
    const double server0 = LinuxProcessSeconds(procs.wineserver);
    const double queue0 = QueueWait(procs);
    const double t0 = NowUs();
    SetEvent(shared.go);
    Sleep(static_cast<DWORD>(seconds * 1000));
    InterlockedExchange(&shared.stop, 1);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, INFINITE);
    out->seconds = (NowUs() - t0) / 1e6;
    const double server1 = LinuxProcessSeconds(procs.wineserver);
    const double queue1 = QueueWait(procs);
    out->queueWait = queue0 >= 0 && queue1 >= 0 ? (queue1 - queue0) / out->seconds : -1;
    out->wineserverBusy = server0 >= 0 && server1 >= 0 ? (server1 - server0) / out->seconds : -1;
    double busy1 = 0;
    double total1 = 0;
    out->machineBusy = haveMachine && MachineJiffies(&busy1, &total1) && total1 > total0
                           ? (busy1 - busy0) / (total1 - total0)
                           : -1;
    for (HANDLE h : handles) {
        CloseHandle(h);
    }
    CloseHandle(shared.go);
    for (const Worker& w : workers) {
        out->ok += w.ok;
        out->failed += w.failed;
    }
    return handles.size() == workers.size();
}

}  // namespace

// Short segments of every thread count in turn, the order rotated each
// round, so that the machine's changing load hits every count alike; each
// count's rate is the median over the rounds, and its ratio to one thread the
// median of the ratios within each round.
bool RunThroughput(const Settings& s, const Provider& pv, ThroughputOp op,
                   std::vector<ThroughputRow>* out)
{
    NCRYPT_KEY_HANDLE key = pv.Open(KeyName(2048));
    if (key == 0) {
        return false;
    }
    const int counts[] = {1, 2};
    constexpr size_t kAllCounts = sizeof(counts) / sizeof(counts[0]);
    const size_t countsRun = kAllCounts;
    const int rounds = s.quick ? 3 : 9;
    const double seconds = s.quick ? 0.25 : 0.7;
    std::vector<ThroughputRow> rows(countsRun);
    std::vector<std::vector<double>> rates(countsRun);
    std::vector<std::vector<double>> ratios(countsRun);
    std::vector<std::vector<double>> busy(countsRun);
    std::vector<std::vector<double>> serverBusy(countsRun);
    std::vector<std::vector<double>> queueWait(countsRun);
    Processes procs;
    procs.wineserver = FindPrefixProcess("wineserver");
    procs.service = FindPrefixProcess("ZentravaSigning");
    procs.bench = FindPrefixProcess(kBenchComm);
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double roundRate[kAllCounts] = {};
        for (size_t k = 0; k < countsRun && ok; ++k) {
            const size_t c = (k + static_cast<size_t>(round)) % countsRun;
            // The service finishes the last exchanges of the previous segment
            // (waiting for the clients' close, logging, listening again)
            // after its threads have stopped; that work must not land in this one.
            Sleep(kSettleMs);
            Segment seg;
            ok = RunThreads(pv, key, op, counts[c], seconds, procs, &seg);
            rows[c].ok += seg.ok;
            rows[c].failed += seg.failed;
            rows[c].seconds += seg.seconds;
            roundRate[c] = static_cast<double>(seg.ok) / seg.seconds;
            rates[c].push_back(roundRate[c]);
            busy[c].push_back(seg.machineBusy);
            serverBusy[c].push_back(seg.wineserverBusy);
            queueWait[c].push_back(seg.queueWait);
        }
        for (size_t c = 0; c < countsRun && roundRate[0] > 0; ++c) {
            ratios[c].push_back(roundRate[c] / roundRate[0]);
        }
    }
    pv.t->FreeKey(pv.prov, key);
    if (!ok) {
        return false;
    }
    for (size_t c = 0; c < countsRun; ++c) {
        ThroughputRow& row = rows[c];
        row.threads = counts[c];
        row.rounds = rounds;
        row.rate = Summarize(rates[c]);
        row.vsOne = Summarize(ratios[c]);
        row.machineBusy = Summarize(busy[c]).median;
        row.wineserverBusy = Summarize(serverBusy[c]).median;
        row.queueWait = Summarize(queueWait[c]).median;
        row.load = LoadAverage();
        out->push_back(row);
        std::printf("throughput %s %2d threads: %7.1f ops/s (%.2fx), %lld failures, machine busy %.0f %%, "
                    "wineserver %.0f %%, waiting for a CPU %.2f\n",
                    op == ThroughputOp::SignHash ? "SignHash" : "OpenKey", row.threads, row.rate.median, row.vsOne.median, row.failed, 100.0 * row.machineBusy,
                    100.0 * row.wineserverBusy, row.queueWait);
    }
    return true;
}

}  // namespace bench
