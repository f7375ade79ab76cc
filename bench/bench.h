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
    DWORD instances = 0;
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
    std::vector<ThroughputRow> throughput;
    std::vector<ThroughputRow> openKeyThroughput;  // 1 and 2 threads
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
bool RunThroughput(const Settings&, const Provider&, DWORD instances, ThroughputOp, std::vector<ThroughputRow>*);

// The machine's 1-minute load average, as Linux reports it ("?" if unknown).
std::string LoadAverage();
bool WriteReport(const Settings&, const Results&);
bool WriteOneCpuReport(const Settings&, const Results&);
void WriteCheckCosts(FILE* f, const Results&);

// A SHA-256 value to sign (fixed, so every run signs the same input).
void FixedHash(BYTE out[32]);

}  // namespace bench
