// The concurrency curve in the report: its goals, its tables, and the CPU
// bound that the measured CPU per signature sets on the rate.
#include "bench.h"

#include <cmath>
#include <cstdio>

namespace bench {

namespace {

constexpr double kNoCollapse = 0.8;  // the rate at 64 and 256 clients against the best

const CurvePoint* Best(const Results& r)
{
    const CurvePoint* best = nullptr;
    for (const CurvePoint& p : r.curve) {
        if (p.clients > 0) {
            best = best == nullptr || p.rate.median > best->rate.median ? &p : best;
        }
    }
    return best;
}

const CurvePoint* At(const Results& r, int clients)
{
    for (const CurvePoint& p : r.curve) {
        if (p.clients == clients) {
            return &p;
        }
    }
    return nullptr;
}

// A share as a percentage; "?" below `unknown` (a figure that could not be read).
std::string Percent(double share, double unknown = 0)
{
    char buf[32] = "?";
    if (share >= unknown) {
        std::snprintf(buf, sizeof(buf), "%.0f %%", 100.0 * share);
    }
    return buf;
}

// Largest relative difference, over the points, between what GetProcessTimes
// and /proc say about this process; -1 if never both.
double WorstDisagreement(const Results& r)
{
    double worst = -1;
    for (const CurvePoint& p : r.curve) {
        if (p.clientCpu > 0.05 && p.clientCpuLinux > 0.05) {
            const double d = std::fabs(p.clientCpu - p.clientCpuLinux) / p.clientCpuLinux;
            worst = d > worst ? d : worst;
        }
    }
    return worst;
}

void WriteRateGoal(FILE* f, const CurvePoint& best, const CurvePoint* p, int clients)
{
    if (p == nullptr) {
        return;
    }
    const double share = p->rate.median / best.rate.median;
    std::fprintf(f, "- Rate at %d clients: %.0f signatures/s = %.2f × the best; goal ≥ %.1f × %s.\n", clients,
                 p->rate.median, share, kNoCollapse, share >= kNoCollapse ? "met" : "**missed**");
}

}  // namespace

void WriteCurveGoals(FILE* f, const Results& r)
{
    const CurvePoint* best = Best(r);
    if (best == nullptr) {
        return;
    }
    long long failed = 0;
    long long wrong = 0;
    long long calls = 0;
    int failingPoints = 0;
    for (const CurvePoint& p : r.curve) {
        failed += p.failed;
        wrong += p.wrong;
        calls += p.calls;
        failingPoints += p.failed + p.wrong > 0 ? 1 : 0;
    }
    std::fprintf(f, "- Concurrency curve (item 4) against `serve` with its defaults: best %.0f signatures/s at %d "
                    "clients.\n",
                 best->rate.median, best->clients);
    std::fprintf(f, "- Failures: %lld failed and %lld wrong signatures in %lld calls over all points; goal zero at "
                    "every point %s.\n",
                 failed, wrong, calls,
                 failingPoints == 0 ? "met" : ("**missed at " + std::to_string(failingPoints) + " points**").c_str());
    WriteRateGoal(f, *best, At(r, 64), 64);
    WriteRateGoal(f, *best, At(r, 256), 256);
    if (best->cpuPerSignature > 0) {
        const double bound = r.cores / best->cpuPerSignature;
        // Within one window ours + others = busy; the medians over the rounds need not add up exactly.
        std::fprintf(f, "- CPU bound: at the best point one signature took %.2f ms of CPU over all processes "
                        "(client %.2f, service %.2f, wineserver %.2f), so %u cores allow at most %.0f "
                        "signatures/s; the best rate is %.0f %% of that. In that window the machine was %s busy: "
                        "our processes %s, other processes %s, idle %s (see item 4).\n",
                     1000 * best->cpuPerSignature, 1000 * best->clientPerSignature,
                     1000 * best->servicePerSignature, 1000 * best->wineserverPerSignature, r.cores, bound,
                     100 * best->oursBusy,
                     Percent(best->machineBusy).c_str(), Percent(best->oursBusy).c_str(),
                     Percent(best->othersBusy, -1).c_str(), Percent(1 - best->machineBusy).c_str());
    }
    const CurvePoint* idle = At(r, 0);
    if (idle != nullptr) {
        std::fprintf(f, "- With no client signing, the same processes used %s of one core (client %s: its "
                        "thread-count sampling and the reader of the service's output; service %s; wineserver "
                        "%s); that is part of every figure of CPU per signature.\n",
                     Percent(idle->clientCpu + idle->serviceCpu + idle->wineserverCpu + idle->otherCpu).c_str(),
                     Percent(idle->clientCpu).c_str(), Percent(idle->serviceCpu).c_str(),
                     Percent(idle->wineserverCpu).c_str());
    }
    unsigned peak = 0;
    for (const CurvePoint& p : r.curve) {
        peak = p.servicePeakThreads > peak ? p.servicePeakThreads : peak;
    }
    std::fprintf(f, "- The service's threads: %u before the curve, at most %u at any point up to %d clients.\n",
                 r.serviceIdleThreads, peak, r.curve.back().clients);
}

void WriteCurve(FILE* f, const Results& r)
{
    const CurvePoint* best = Best(r);
    if (best == nullptr) {
        return;
    }
    std::fprintf(f, "\n## 4. Concurrency: clients signing at once against `serve` with its defaults\n\n");
    std::fprintf(f, "The service runs as a user starts it, `serve` without options; it reported: `%s`.\n\n",
                 r.servingLine.c_str());
    std::fprintf(f, "Each client is a thread of the benchmark with its own key handle (RSA-2048, opened before the "
                    "curve) that calls `SignHash` (PKCS#1 v1.5, SHA-256, a different hash every call) in a loop "
                    "and verifies **every** signature with `BCryptVerifySignature` on the public key; a failed "
                    "call is counted and not retried. A segment starts all its clients at one signal after 200 ms "
                    "of rest, lets them sign %.1f s unmeasured (the simultaneous start), measures %.1f s, then "
                    "lets every client finish its call. Failures and wrong signatures count over the whole "
                    "segment, the simultaneous start included; the rate counts the verified signatures of the "
                    "measured window. Every point runs in %d rounds, all points in turn and the order rotated "
                    "each round; each figure is the median over the rounds (p10–p90 for the rate).\n\n",
                 r.curveWarmSeconds, r.curveWindowSeconds, r.curve.front().rounds);
    std::fprintf(f, "| clients | signatures (measured) | per second | vs best | calls (whole segments) | failures "
                    "| wrong | service threads (peak) |\n|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CurvePoint& p : r.curve) {
        if (p.clients == 0) {
            continue;
        }
        char failures[48];
        std::snprintf(failures, sizeof(failures), p.failed > 0 ? "**%lld** (0x%08lx first)" : "%lld", p.failed,
                      p.firstFailure);
        std::fprintf(f, "| %d | %lld | %.0f (%.0f–%.0f) | %.2f | %lld | %s | %lld | %u |\n", p.clients, p.signatures,
                     p.rate.median, p.rate.p10, p.rate.p90, p.rate.median / best->rate.median, p.calls, failures,
                     p.wrong, p.servicePeakThreads);
    }
    std::fprintf(f, "\nWhere the CPU went, over the measured windows. CPU shares are CPU seconds per second: "
                    "100 %% = one core fully busy; the machine has %u. The client's is `GetProcessTimes` of the "
                    "benchmark's own process; it includes the verification of every signature and the "
                    "thread-count sampling (a Toolhelp snapshot every %d ms). The service, the wineserver (which "
                    "carries every pipe transfer, wait and handle call of both) and Wine's other processes of the "
                    "prefix (%s) are read from Linux's `/proc/<pid>/stat`: under Wine every Windows process is "
                    "one Linux process, the wineserver is a Linux process that no Windows call sees, and ",
                 r.cores, static_cast<int>(r.curveSampleMs),
                 r.otherProcesses.empty() ? "none seen" : r.otherProcesses.c_str());
    std::fprintf(f, r.processTimesOfOthersAreOurs
                        ? "`GetProcessTimes` on the service's handle answered with the benchmark's own times "
                          "(this Wine does not look up other processes; seen in this run). "
                        : "`GetProcessTimes` on the service's handle answered with other figures than ours; /proc "
                          "is still read for all three alike. ");
    std::fprintf(f, "CPU per signature = all four together / verified signatures; the bound = cores / CPU per "
                    "signature. Our share of the machine = all four / cores, which within a window is also the rate / the "
                    "bound. Machine busy = every process of every user (`/proc/stat`). Row \"none\": the same "
                    "windows with no client.\n\n");
    std::fprintf(f, "| clients | service (of one core / of the machine) | client | wineserver | Wine's other "
                    "processes | CPU per signature (ms): client + service + wineserver | all processes | CPU bound "
                    "(signatures/s) | our share of the machine | machine busy | of which other processes |\n"
                    "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CurvePoint& p : r.curve) {
        const double bound = p.cpuPerSignature > 0 ? r.cores / p.cpuPerSignature : 0;
        if (p.clients == 0) {
            std::fprintf(f, "| none | %s / %s | %s | %s | %s | — | — | — | %s | %s | %s |\n",
                         Percent(p.serviceCpu).c_str(), Percent(p.serviceCpu / r.cores).c_str(),
                         Percent(p.clientCpu).c_str(), Percent(p.wineserverCpu).c_str(),
                         Percent(p.otherCpu).c_str(), Percent(p.oursBusy).c_str(), Percent(p.machineBusy).c_str(),
                         Percent(p.othersBusy, -1).c_str());
            continue;
        }
        std::fprintf(f, "| %d | %s / %s | %s | %s | %s | %.2f + %.2f + %.2f | %.2f | %.0f | %s | %s | %s |\n",
                     p.clients, Percent(p.serviceCpu).c_str(), Percent(p.serviceCpu / r.cores).c_str(),
                     Percent(p.clientCpu).c_str(), Percent(p.wineserverCpu).c_str(), Percent(p.otherCpu).c_str(),
                     1000 * p.clientPerSignature, 1000 * p.servicePerSignature, 1000 * p.wineserverPerSignature,
                     1000 * p.cpuPerSignature, bound, Percent(p.oursBusy).c_str(),
                     Percent(p.machineBusy).c_str(), Percent(p.othersBusy, -1).c_str());
    }
    std::fprintf(f, "\n`GetProcessTimes` of the benchmark's own process against Linux's account of it: they "
                    "differ by at most %s over the points.\n",
                 Percent(WorstDisagreement(r)).c_str());
}

}  // namespace bench
