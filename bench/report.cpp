// Writes the tables (Markdown) and the chart's data files.
#include "bench.h"

#include <cstdio>
#include <initializer_list>
#include <string>

namespace bench {

namespace {

FILE* OpenOut(const Settings& s, const wchar_t* name)
{
    const std::wstring path = s.outDir + L"\\" + name;
    return _wfopen(path.c_str(), L"wb");
}

std::string Us(const Summary& x)
{
    char buf[96];
    const char* f = x.median < 10 ? "%.3f (%.3f–%.3f)" : x.median < 1000 ? "%.1f (%.1f–%.1f)" : "%.0f (%.0f–%.0f)";
    std::snprintf(buf, sizeof(buf), f, x.median, x.p10, x.p90);
    return buf;
}

const PairRow* FindRow(const std::vector<PairRow>& rows, const char* name)
{
    for (const PairRow& row : rows) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

double StepSum(const Results& r, std::initializer_list<size_t> indexes)
{
    double sum = 0;
    for (size_t i : indexes) {
        if (i < r.steps.size()) {
            sum += r.steps[i].time.median;
        }
    }
    return sum;
}

void WriteSummary(FILE* f, const Results& r)
{
    std::fprintf(f, "## Summary\n\n");
    double lo = 1e9;
    double hi = 0;
    int missed = 0;
    for (const PairRow& row : r.local) {
        const double ratio = row.a.median / row.b.median;
        lo = ratio < lo ? ratio : lo;
        hi = ratio > hi ? ratio : hi;
        missed += ratio > 1.10 ? 1 : 0;
    }
    std::fprintf(f, "- Local operations: provider / direct from %.2f to %.2f; goal ≤ 1.10 %s.\n", lo, hi,
                 missed == 0 ? "met by every operation" : "**missed by some** (see item 1)");
    const PairRow* sign = FindRow(r.remote, "SignHash RSA-2048");
    if (sign != nullptr) {
        const double over = sign->a.median - sign->b.median;
        std::fprintf(f, "- `SignHash` RSA-2048: %.0f µs end to end against a %.0f µs private-key floor; the exchange "
                        "overhead is %.0f µs, **%.0f %% of the RSA-2048 private-key operation**.\n",
                     sign->a.median, sign->b.median, over, 100.0 * over / sign->b.median);
    }
    if (r.steps.size() == 16) {
        std::fprintf(f, "- Traced exchange (item 3, %.0f µs): pipe connect and transfers %.0f µs, `LoadPipeSecret` "
                        "%.0f µs, HMACs and AES %.0f µs, the service's work (last request write to first reply read) "
                        "%.0f µs, of which %.0f µs more than for `OpenKey` (no private-key work); the private-key "
                        "operation is %.0f µs.\n",
                     r.tracedTotal.median, StepSum(r, {0, 1, 2, 3, 7, 10, 12, 15}), StepSum(r, {4}),
                     StepSum(r, {5, 6, 8, 9, 13, 14}), StepSum(r, {11}),
                     StepSum(r, {11}) - r.openKeyReplyWait.median, sign != nullptr ? sign->b.median : 0.0);
    }
    WriteCurveGoals(f, r);
    if (r.openKeyThroughput.size() == 2) {
        std::fprintf(f, "- The same exchange without a private-key operation (`OpenKey`): %.0f/s with 1 thread, %.0f "
                        "with 2 (%.2f× within rounds).\n",
                     r.openKeyThroughput[0].rate.median, r.openKeyThroughput[1].rate.median,
                     r.openKeyThroughput[1].vsOne.median);
    }
    std::fprintf(f, "\n");
}

// The rows of a throughput table, with its header.
void WriteThroughputRows(FILE* f, const std::vector<ThroughputRow>& rows)
{
    std::fprintf(f, "| threads | rounds × seconds | exchanges | per second | vs 1 thread | "
                    "failures | machine CPU busy (all processes) | wineserver CPU (one thread) | threads waiting "
                    "for a CPU |\n"
                    "|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const ThroughputRow& row : rows) {
        char server[16] = "?";
        if (row.wineserverBusy >= 0) {
            std::snprintf(server, sizeof(server), "%.0f %%", 100.0 * row.wineserverBusy);
        }
        char waiting[16] = "?";
        if (row.queueWait >= 0) {
            std::snprintf(waiting, sizeof(waiting), "%.2f", row.queueWait);
        }
        std::fprintf(f,
                     "| %d | %d × %.1f | %lld | %.0f (%.0f–%.0f) | %.2f× (%.2f–%.2f) | %lld | %.0f %% | %s | %s |\n",
                     row.threads, row.rounds, row.seconds / row.rounds, row.ok, row.rate.median,
                     row.rate.p10, row.rate.p90, row.vsOne.median, row.vsOne.p10, row.vsOne.p90, row.failed,
                     100.0 * row.machineBusy, server, waiting);
    }
}

void WriteTables(FILE* f, const Results& r)
{
    std::fprintf(f, "Load average of the machine (1 minute, all its users): %s at the start of the run, %s at the "
                    "end.\n\n",
                 r.loadStart.c_str(), r.loadEnd.c_str());
    WriteSummary(f, r);
    std::fprintf(f, "## 1. Local operations: provider against direct BCrypt\n\n");
    std::fprintf(f, "Same public key (the provider's \"RSAPUBLICBLOB\" imported here), separate key handles for "
                    "PSS on both sides. Times in µs per call: median (p10–p90). Ratio = median provider / median "
                    "direct; goal ≤ 1.10.");
    const PairRow* length = FindRow(r.local, "GetKeyProperty \"Length\"");
    if (length != nullptr && length->baseline.find("RSA algorithm") != std::string::npos) {
        std::fprintf(f, " This BCrypt answers no property of an RSA key handle (\"KeyLength\", \"KeyStrength\", "
                        "\"BlockLength\" and \"AlgorithmName\" were tried), so both property reads are set against "
                        "BCrypt's own property read on the RSA algorithm handle.");
    }
    std::fprintf(f, "\n\n");
    std::fprintf(f, "| operation | provider | direct | direct call | ratio | goal |\n|---|---:|---:|---|---:|---|\n");
    for (const PairRow& row : r.local) {
        const double ratio = row.a.median / row.b.median;
        std::fprintf(f, "| %s | %s | %s | %s | %.3f | %s |\n", row.name.c_str(), Us(row.a).c_str(),
                     Us(row.b).c_str(), row.baseline.c_str(), ratio, ratio <= 1.10 ? "met" : "**missed**");
    }

    std::fprintf(f, "\n## 2. Remote operations: end to end against the private-key floor\n\n");
    std::fprintf(f, "End to end = the provider's `SignHash` / `Decrypt` (PKCS#1 v1.5, SHA-256 hash) through a "
                    "complete exchange with the service. Floor = the same BCrypt call on the same private key in "
                    "the benchmark's process (read from the service's key store). Overhead = difference of the "
                    "medians. Times in µs: median (p10–p90).\n\n");
    std::fprintf(f, "| operation | end to end | floor | floor call | overhead | overhead / floor |\n"
                    "|---|---:|---:|---|---:|---:|\n");
    for (const PairRow& row : r.remote) {
        const double over = row.a.median - row.b.median;
        // OpenKey's floor is a public import of about a microsecond; a share of it says nothing.
        char share[32] = "—";
        if (row.b.median * 100 > row.a.median) {
            std::snprintf(share, sizeof(share), "%.0f %%", 100.0 * over / row.b.median);
        }
        std::fprintf(f, "| %s | %s | %s | %s | %.0f | %s |\n", row.name.c_str(), Us(row.a).c_str(),
                     Us(row.b).c_str(), row.baseline.c_str(), over, share);
    }
    for (const PairRow& row : r.remote) {
        if (row.name == "SignHash RSA-2048") {
            std::fprintf(f, "\nExchange overhead of `SignHash` as a share of the RSA-2048 private-key operation: "
                            "**%.0f µs = %.0f %%** of %.0f µs.\n",
                         row.a.median - row.b.median, 100.0 * (row.a.median - row.b.median) / row.b.median,
                         row.b.median);
        }
    }

    std::fprintf(f, "\n### The service's own work, and what one event per exchange saves\n\n");
    std::fprintf(f, "The service's request handling run in the benchmark's process on the same key files, and "
                    "the 19 fields of an exchange written and read on an in-process pipe pair, each alternated "
                    "with its baseline.\n\n");
    std::fprintf(f, "| what | time (µs) | baseline | baseline (µs) | difference |\n|---|---:|---|---:|---:|\n");
    for (const PairRow& row : r.service) {
        std::fprintf(f, "| %s | %s | %s | %s | %.1f |\n", row.name.c_str(), Us(row.a).c_str(),
                     row.baseline.c_str(), Us(row.b).c_str(), row.a.median - row.b.median);
    }

    std::fprintf(f, "\n## 3. One exchange step by step (`SignHash`, RSA-2048)\n\n");
    std::fprintf(f, "Timed from outside the shipped DLL: its imports that bound each step (CreateFileA, CreateFileW, "
                    "CreateEventW, ReadFile, WriteFile, GetOverlappedResult, CloseHandle, "
                    "CreateDirectoryW, CryptUnprotectData, BCryptOpenAlgorithmProvider, "
                    "BCryptCloseAlgorithmProvider) are patched with stand-ins that stamp the performance counter. "
                    "Each pipe read or write counts from its ReadFile/WriteFile to the GetOverlappedResult that "
                    "collects it. The service's work (reading and checking the request, the private-key operation, "
                    "sealing the reply) falls between the client's last request write and its first reply read; "
                    "depending on how the two processes are scheduled, the wait shows in the one or the other, so "
                    "they form one step. Times in µs.\n\n");
    std::fprintf(f, "| step | median | p10 | p90 | share |\n|---|---:|---:|---:|---:|\n");
    double sum = 0;
    for (const StepRow& row : r.steps) {
        sum += row.time.median;
    }
    for (const StepRow& row : r.steps) {
        std::fprintf(f, "| %s | %.1f | %.1f | %.1f | %.1f %% |\n", row.name.c_str(), row.time.median, row.time.p10,
                     row.time.p90, 100.0 * row.time.median / sum);
    }
    std::fprintf(f, "| **total (traced run)** | %.1f | %.1f | %.1f | |\n", r.tracedTotal.median, r.tracedTotal.p10,
                 r.tracedTotal.p90);
    double signFloor = 0;
    for (const PairRow& row : r.remote) {
        if (row.name == "SignHash RSA-2048") {
            signFloor = row.b.median;
        }
    }
    double signWait = 0;
    for (const StepRow& row : r.steps) {
        if (row.name.rfind("last request write", 0) == 0) {
            signWait = row.time.median;
        }
    }
    std::fprintf(f, "\nThe same exchange for `OpenKey` (traced in alternation with the `SignHash` above; the "
                    "service does no private-key work for it): total %.1f µs, last request write + first reply read "
                    "%.1f µs (p10 %.1f, p90 %.1f). `SignHash` spends %.1f µs longer in that step than `OpenKey`; "
                    "the RSA-2048 private-key operation alone takes %.1f µs (item 2).\n",
                 r.openKeyTotal.median, r.openKeyReplyWait.median, r.openKeyReplyWait.p10, r.openKeyReplyWait.p90,
                 signWait - r.openKeyReplyWait.median, signFloor);
    std::fprintf(f, "\n`LoadPipeSecret` in parts:\n\n| part | median | p10 | p90 |\n|---|---:|---:|---:|\n");
    for (const StepRow& row : r.secretParts) {
        std::fprintf(f, "| %s | %.1f | %.1f | %.1f |\n", row.name.c_str(), row.time.median, row.time.p10,
                     row.time.p90);
    }

    std::fprintf(f, "\nPipe transfers across the steps above:\n\n| part | median | p10 | p90 |\n|---|---:|---:|---:|\n");
    for (const StepRow& row : r.ioParts) {
        std::fprintf(f, "| %s | %.1f | %.1f | %.1f |\n", row.name.c_str(), row.time.median, row.time.p10,
                     row.time.p90);
    }

    WriteCurve(f, r);
    if (!r.openKeyThroughput.empty()) {
        std::fprintf(f, "\n### The exchange without a private-key operation\n\n"
                        "`OpenKey` (+`FreeKey`) in a loop on 1 and 2 threads: every count in short segments, both "
                        "counts in turn and the order rotated each round, with 200 ms of rest before each segment; "
                        "the rate is the median (p10–p90) over the rounds and the ratio to 1 thread the median of "
                        "the ratios within each round.\n\n");
        WriteThroughputRows(f, r.openKeyThroughput);
    }
    std::fprintf(f, "\n\"Threads waiting for a CPU\": how many threads of the wineserver, the service and the "
                    "benchmark were runnable but not running, on average over the segment (from each thread's "
                    "Linux schedstat). With the machine's CPU partly idle at the same time, they wait in the queue "
                    "of a busy CPU while the other one idles.\n");

}

// A name as one quoted gnuplot field.
std::string Field(const std::string& name)
{
    std::string out = "\"";
    for (char c : name) {
        out += c == '"' ? '\'' : c;
    }
    return out + "\"";
}

void WriteData(const Settings& s, const Results& r)
{
    if (FILE* f = OpenOut(s, L"remote.dat")) {
        for (const PairRow& row : r.remote) {
            std::fprintf(f, "%s %.1f %.1f\n", Field(row.name).c_str(), row.a.median, row.b.median);
        }
        std::fclose(f);
    }
    if (FILE* f = OpenOut(s, L"steps.dat")) {
        for (const StepRow& row : r.steps) {
            std::fprintf(f, "%s %.1f\n", Field(row.name).c_str(), row.time.median);
        }
        std::fclose(f);
    }
    if (FILE* f = OpenOut(s, L"concurrency.dat")) {
        // clients, rate p10 median p90, failures + wrong, service threads, service / client / wineserver /
        // other CPU (% of one core), machine busy (%), CPU per signature (ms), the CPU bound (signatures/s)
        for (const CurvePoint& p : r.curve) {
            if (p.clients == 0) {
                continue;  // no rate; a logarithmic axis has no place for it
            }
            std::fprintf(f, "%d %.1f %.1f %.1f %lld %u %.1f %.1f %.1f %.1f %.1f %.3f %.1f\n", p.clients, p.rate.p10,
                         p.rate.median, p.rate.p90, p.failed + p.wrong, p.servicePeakThreads, 100 * p.serviceCpu,
                         100 * p.clientCpu, 100 * p.wineserverCpu, 100 * p.otherCpu, 100 * p.machineBusy,
                         1000 * p.cpuPerSignature, p.cpuPerSignature > 0 ? r.cores / p.cpuPerSignature : 0.0);
        }
        std::fclose(f);
    }
    if (FILE* f = OpenOut(s, L"local.dat")) {
        for (const PairRow& row : r.local) {
            std::fprintf(f, "%s %.4f\n", Field(row.name).c_str(), row.a.median / row.b.median);
        }
        std::fclose(f);
    }
}

}  // namespace

bool WriteReport(const Settings& s, const Results& r)
{
    FILE* f = OpenOut(s, L"tables.md");
    if (f == nullptr) {
        std::printf("report: cannot write into the output folder\n");
        return false;
    }
    WriteTables(f, r);
    WriteCheckCosts(f, r);
    std::fclose(f);
    WriteData(s, r);
    return true;
}

bool WriteOneCpuReport(const Settings& s, const Results& r)
{
    FILE* f = OpenOut(s, L"one_cpu.md");
    if (f == nullptr) {
        std::printf("report: cannot write into the output folder\n");
        return false;
    }
    std::fprintf(f, "| threads | rounds × seconds | signatures | per second | vs 1 thread | failures | machine CPU "
                    "busy (all processes) | threads waiting for a CPU |\n|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const ThroughputRow& row : r.throughput) {
        std::fprintf(f, "| %d | %d × %.1f | %lld | %.0f (%.0f–%.0f) | %.2f× (%.2f–%.2f) | %lld | %.0f %% | %.2f |\n",
                     row.threads, row.rounds, row.seconds / row.rounds, row.ok, row.rate.median, row.rate.p10,
                     row.rate.p90, row.vsOne.median, row.vsOne.p10, row.vsOne.p90, row.failed,
                     100.0 * row.machineBusy, row.queueWait);
    }
    std::fclose(f);
    return true;
}

}  // namespace bench
