// The x86 provider's runs set beside the x64 ones: the samples each run
// writes, and the report section (arch.md) made from all of them.
#include "arch.h"
#include "stats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

constexpr double kGoal = 1.15;  // x86 / x64, each local operation

std::string Us(double us)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), us < 10 ? "%.3f" : us < 1000 ? "%.1f" : "%.0f", us);
    return buf;
}

// The operation's row in a run, or null.
const ArchRow* Find(const std::vector<ArchRow>& rows, const std::string& name)
{
    for (const ArchRow& row : rows) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

// Across runs: the median of the per-run medians, and x86 / x64 per pair of runs.
struct Compared {
    std::string name;
    std::vector<double> x64;
    std::vector<double> x86;
    std::vector<double> x64Direct;
    std::vector<double> x86Direct;
    std::vector<double> ratio;
    std::vector<double> directRatio;
    std::vector<double> x64Overhead;  // provider / direct within a run
    std::vector<double> x86Overhead;
};

double Lowest(const std::vector<double>& v)
{
    double lo = v.empty() ? 0 : v[0];
    for (double x : v) {
        lo = x < lo ? x : lo;
    }
    return lo;
}

double Highest(const std::vector<double>& v)
{
    double hi = v.empty() ? 0 : v[0];
    for (double x : v) {
        hi = x > hi ? x : hi;
    }
    return hi;
}

}  // namespace

std::wstring ArchSampleFile(const std::wstring& dir, const char* arch, int round)
{
    char name[48];
    std::snprintf(name, sizeof(name), "\\arch-%s-%d.tsv", arch, round);
    const std::string narrow = name;
    return dir + std::wstring(narrow.begin(), narrow.end());
}

bool WriteArchSamples(const std::wstring& file, const std::vector<ArchRow>& rows)
{
    FILE* f = _wfopen(file.c_str(), L"wb");
    if (f == nullptr) {
        std::printf("arch: cannot write %ls\n", file.c_str());
        return false;
    }
    for (const ArchRow& row : rows) {
        std::fprintf(f, "%s\t%.6f\t%.6f\n", row.name.c_str(), row.provider, row.direct);
    }
    return std::fclose(f) == 0;
}

bool ReadArchSamples(const std::wstring& file, std::vector<ArchRow>* rows)
{
    FILE* f = _wfopen(file.c_str(), L"rb");
    if (f == nullptr) {
        std::printf("arch: cannot read %ls\n", file.c_str());
        return false;
    }
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        char* tab = std::strchr(line, '\t');
        if (tab == nullptr) {
            continue;
        }
        *tab = '\0';
        char* end = nullptr;
        ArchRow row{line, std::strtod(tab + 1, &end), -1};
        row.direct = std::strtod(end, nullptr);
        rows->push_back(row);
    }
    std::fclose(f);
    return !rows->empty();
}

bool WriteArchReport(const std::wstring& dir, int rounds, const std::string& loadStart, const std::string& loadEnd)
{
    std::vector<std::vector<ArchRow>> runs64(static_cast<size_t>(rounds));
    std::vector<std::vector<ArchRow>> runs86(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        if (!ReadArchSamples(ArchSampleFile(dir, "x64", i + 1), &runs64[static_cast<size_t>(i)]) ||
            !ReadArchSamples(ArchSampleFile(dir, "x86", i + 1), &runs86[static_cast<size_t>(i)])) {
            return false;
        }
    }
    std::vector<Compared> ops;
    for (const ArchRow& first : runs64[0]) {
        Compared c{first.name, {}, {}, {}, {}, {}, {}, {}, {}};
        for (size_t i = 0; i < runs64.size(); ++i) {
            const ArchRow* a = Find(runs64[i], first.name);
            const ArchRow* b = Find(runs86[i], first.name);
            if (a == nullptr || b == nullptr) {
                std::printf("arch: run %zu lacks %s\n", i + 1, first.name.c_str());
                return false;
            }
            c.x64.push_back(a->provider);
            c.x86.push_back(b->provider);
            c.ratio.push_back(b->provider / a->provider);
            if (a->direct > 0 && b->direct > 0) {
                c.x64Direct.push_back(a->direct);
                c.x86Direct.push_back(b->direct);
                c.directRatio.push_back(b->direct / a->direct);
                c.x64Overhead.push_back(a->provider / a->direct);
                c.x86Overhead.push_back(b->provider / b->direct);
            }
        }
        ops.push_back(c);
    }

    const std::wstring path = dir + L"\\arch.md";
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) {
        return false;
    }
    double lo = 1e9;
    double hi = 0;
    std::string missed;
    std::vector<double> missedDirect;  // x86 / x64 of direct BCrypt, for the operations that missed
    std::vector<double> overheads;     // provider / direct, both builds, every local operation
    for (const Compared& c : ops) {
        if (c.x64Direct.empty()) {
            continue;  // the exchange has no goal
        }
        const double ratio = Summarize(c.ratio).median;
        lo = ratio < lo ? ratio : lo;
        hi = ratio > hi ? ratio : hi;
        if (ratio > kGoal) {
            missed += (missed.empty() ? "" : ", ") + c.name;
            missedDirect.push_back(Summarize(c.directRatio).median);
        }
        overheads.push_back(Summarize(c.x64Overhead).median);
        overheads.push_back(Summarize(c.x86Overhead).median);
    }
    std::fprintf(f, "## The provider for 32-bit programs (x86) beside x64\n\n");
    std::fprintf(f, "- Local operations through the x86 provider / through the x64 one: from %.2f to %.2f; goal ≤ %.2f "
                    "%s.\n",
                 lo, hi, kGoal, missed.empty() ? "met by every operation" : ("**missed by " + missed + "**").c_str());
    if (!missedDirect.empty()) {
        std::fprintf(f, "- Where it is missed, the same BCrypt call made directly in the x86 process takes %.2f to "
                        "%.2f times as long as in the x64 one (column \"x86 / x64 direct\").\n",
                     Lowest(missedDirect), Highest(missedDirect));
    }
    std::fprintf(f, "- The provider against direct BCrypt within one build (item 1's ratio): from %.2f to %.2f over "
                    "both builds and every local operation.\n",
                 Lowest(overheads), Highest(overheads));
    for (const Compared& c : ops) {
        if (c.x64Direct.empty()) {
            std::fprintf(f, "- %s: %s µs through the x86 provider, %s µs through the x64 one (%.2f×).\n",
                         c.name.c_str(), Us(Summarize(c.x86).median).c_str(), Us(Summarize(c.x64).median).c_str(),
                         Summarize(c.ratio).median);
        }
    }
    std::fprintf(f,
                 "\n`ZentravaKSPArchBench.exe` is built for both architectures, in `<build>/bin` and in the x86 tree "
                 "`<build>/x86/bin`, each beside its own `ZentravaKSP.dll` (a 64-bit process cannot load the 32-bit "
                 "DLL). This same `scripts/bench.sh` run started one `serve` with its defaults on the run's data "
                 "root, then ran the two in turn, %d times each (x64, x86, x64, ...). Each run measures item 1's "
                 "local operations exactly as item 1 does (provider against direct BCrypt in that process, "
                 "alternating) and 301 `SignHash` RSA-2048 calls (15 in a quick run), each a whole exchange with the "
                 "64-bit service. "
                 "Figures in µs per call: the median over the runs of each run's median. x86 / x64: the median of "
                 "the ratios of the runs taken in pairs (x64 run i, x86 run i), with the lowest and the highest "
                 "pair in brackets. Load average of the machine (1 minute): %s before the first run, %s after the "
                 "last.\n\n",
                 rounds, loadStart.c_str(), loadEnd.c_str());
    std::fprintf(f, "| operation | x64 provider | x86 provider | x86 / x64 | goal | x64 direct | x86 direct | "
                    "x86 / x64 direct | provider / direct, x64 · x86 |\n|---|---:|---:|---:|---|---:|---:|---:|---:|\n");
    for (const Compared& c : ops) {
        const double ratio = Summarize(c.ratio).median;
        std::fprintf(f, "| %s | %s | %s | %.2f (%.2f–%.2f) | ", c.name.c_str(), Us(Summarize(c.x64).median).c_str(),
                     Us(Summarize(c.x86).median).c_str(), ratio, Lowest(c.ratio), Highest(c.ratio));
        if (c.x64Direct.empty()) {
            std::fprintf(f, "— | — | — | — | — |\n");
        } else {
            std::fprintf(f, "%s | %s | %s | %.2f | %.2f · %.2f |\n", ratio <= kGoal ? "met" : "**missed**",
                         Us(Summarize(c.x64Direct).median).c_str(), Us(Summarize(c.x86Direct).median).c_str(),
                         Summarize(c.directRatio).median, Summarize(c.x64Overhead).median,
                         Summarize(c.x86Overhead).median);
        }
    }
    return std::fclose(f) == 0;
}

}  // namespace bench
