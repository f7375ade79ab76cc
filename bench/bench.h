// What the benchmark items share: the loaded provider, the run's settings and
// the results that the report is written from.
#pragma once

#include "ksp_interface.h"
#include "stats.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Settings {
    bool quick = false;
    // Only the 1- and 2-thread throughput, for a run that scripts/bench.sh
    // confines to one CPU; its table goes into one_cpu.md.
    bool throughputOnly = false;
    std::wstring dataRoot;  // LOCALAPPDATA of the service and of this process
    std::wstring outDir;    // where the report fragment and the chart data go
};

struct Provider {
    HMODULE module = nullptr;
    NCRYPT_KEY_STORAGE_FUNCTION_TABLE* t = nullptr;
    NCRYPT_PROV_HANDLE prov = 0;

    bool Load();
    // OpenKey with a check; 0 on failure.
    NCRYPT_KEY_HANDLE Open(const wchar_t* name) const;
    // SignHash, PKCS#1 v1.5, of the fixed SHA-256 value (FixedHash).
    SECURITY_STATUS SignFixedHash(NCRYPT_KEY_HANDLE key) const;
};

struct PairRow {
    std::string name;
    std::string baseline;  // what the other side is
    Summary a;             // provider / end to end
    Summary b;             // direct / floor
};

struct StepRow {
    std::string name;
    Summary time;
};

struct ThroughputRow {
    int threads = 0;
    int rounds = 0;
    double seconds = 0;  // all rounds together
    long long ok = 0;
    long long failed = 0;
    std::string load;       // the machine's load average after the run
    double machineBusy = -1;  // share of all the machine's CPU time that was busy (every process)
    double wineserverBusy = -1;  // CPU seconds per second of the prefix's wineserver (one thread)
    // Threads of the wineserver, the service and the benchmark that were
    // runnable but waiting for a CPU, on average over the segment.
    double queueWait = -1;
    Summary rate;             // signatures per second, over the rounds
    Summary vsOne;            // rate / the same round's 1-thread rate
};

// One point of the concurrency curve: `clients` threads signing at once
// against the service with its defaults (0: none, the same processes idle). CPU figures are CPU seconds per
// second of the measured window (1.0 = one core fully busy), medians over
// the rounds.
struct CurvePoint {
    int clients = 0;
    int rounds = 0;
    double seconds = 0;         // measured windows, all rounds together
    long long signatures = 0;   // verified, within the measured windows
    // Over the whole segments (the simultaneous start and the drain included):
    long long calls = 0;        // SignHash calls that ended
    long long failed = 0;       // SignHash returned an error
    long long wrong = 0;        // returned success with a signature that did not verify
    unsigned long firstFailure = 0;  // status of the first failure seen, 0 if none
    Summary rate;               // verified signatures per second over the rounds
    unsigned servicePeakThreads = 0;  // highest count sampled in any round
    double serviceCpu = -1;     // /proc of the service
    double clientCpu = -1;      // GetProcessTimes of this process
    double clientCpuLinux = -1;  // /proc of this process, to compare
    double wineserverCpu = -1;  // /proc of the prefix's wineserver
    double otherCpu = -1;       // /proc of Wine's other processes of the prefix
    double machineBusy = -1;    // share of all the machine's CPU, every process of every user
    double oursBusy = -1;       // of that, the four processes above (= rate / CPU bound within a window)
    double othersBusy = -2;     // and what they do not account for (-2: unknown)
    double cpuPerSignature = -1;  // seconds, all four above together, per verified signature
    double clientPerSignature = -1;  // the same, of each process alone
    double servicePerSignature = -1;
    double wineserverPerSignature = -1;
};

struct Results {
    std::vector<PairRow> local;
    std::vector<PairRow> remote;
    std::vector<PairRow> service;
    std::vector<StepRow> steps;
    Summary tracedTotal;
    Summary openKeyReplyWait;  // the same step of a traced OpenKey
    Summary openKeyTotal;
    std::vector<StepRow> secretParts;
    std::vector<StepRow> ioParts;
    std::vector<ThroughputRow> throughput;         // SignHash, 1 and 2 threads (the one-CPU run)
    std::vector<ThroughputRow> openKeyThroughput;  // 1 and 2 threads
    std::vector<CurvePoint> curve;
    double curveWarmSeconds = 0;    // per segment: signing before the measured window
    double curveWindowSeconds = 0;  // the measured window
    DWORD curveSampleMs = 0;        // the service's thread count sampled this often
    // GetProcessTimes on the service's handle answered with this process's
    // own times (checked at every reading of the curve).
    bool processTimesOfOthersAreOurs = false;
    std::string servingLine;            // what the service said it runs with
    unsigned serviceIdleThreads = 0;    // its threads before the curve
    std::string otherProcesses;         // names of Wine's other processes of the prefix
    unsigned cores = 0;
    std::vector<StepRow> checkCosts;  // the checks against an impostor (check_cost.cpp)
    std::string loadStart;  // the machine's load average around the run
    std::string loadEnd;
};

// Key names the benchmark creates in its data root, by modulus size.
const wchar_t* KeyName(ULONG bits);

bool RunLocal(const Settings&, const Provider&, Results*);
bool RunRemote(const Settings&, const Provider&, Results*);
bool RunServiceSide(const Settings&, Results*);
bool RunTransferCost(const Settings&, Results*);
bool RunBreakdown(const Settings&, const Provider&, Results*);
bool RunCheckCost(const Settings&, Results*);
enum class ThroughputOp { SignHash, OpenKey };
bool RunThroughput(const Settings&, const Provider&, ThroughputOp, std::vector<ThroughputRow>*);
bool RunConcurrency(const Settings&, const Provider&, DWORD servicePid, Results*);

bool WriteReport(const Settings&, const Results&);
bool WriteOneCpuReport(const Settings&, const Results&);
void WriteCheckCosts(FILE* f, const Results&);
// The curve's goals (summary bullets) and its section of the report (concurrency_report.cpp).
void WriteCurveGoals(FILE* f, const Results&);
void WriteCurve(FILE* f, const Results&);

// A SHA-256 value to sign (fixed, so every run signs the same input).
void FixedHash(BYTE out[32]);

}  // namespace bench
