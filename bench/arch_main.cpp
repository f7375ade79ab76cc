// ZentravaKSPArchBench.exe: item 1's local operations and one SignHash
// exchange through the provider of this build's architecture (x64 in
// <build>/bin, x86 in <build>/x86/bin). A 64-bit process cannot load the
// 32-bit DLL, so scripts/bench.sh runs both builds in turn against one
// service and then has the x64 one write the report.
//
//   ZentravaKSPArchBench --data-root <dir> --out <dir> --round <n> [--quick]
//   ZentravaKSPArchBench --report <dir> --rounds <n> [--load-start <text>] [--load-end <text>]
#include "arch.h"
#include "bench.h"

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

using namespace bench;

const char* ThisArch()
{
    return sizeof(void*) == 8 ? "x64" : "x86";
}

// The SignHash exchange, end to end, one call per sample.
bool MeasureExchange(const Settings& s, const Provider& pv, ArchRow* row)
{
    const NCRYPT_KEY_HANDLE key = pv.Open(KeyName(2048));
    if (key == 0) {
        return false;
    }
    std::vector<double> samples;
    const int reps = s.quick ? 15 : 301;
    bool ok = true;
    for (int i = -3; i < reps && ok; ++i) {  // three to warm up
        const double t0 = NowUs();
        ok = pv.SignFixedHash(key) == 0;
        if (i >= 0) {
            samples.push_back(NowUs() - t0);
        }
    }
    pv.t->FreeKey(pv.prov, key);
    if (!ok) {
        std::printf("arch: SignHash failed\n");
        return false;
    }
    *row = {"SignHash RSA-2048 (exchange)", Summarize(samples).median, -1};
    std::printf("arch %s %-28s %8.1f us\n", ThisArch(), row->name.c_str(), row->provider);
    return true;
}

int Measure(const Settings& s, int round)
{
    if (!SetEnvironmentVariableW(L"LOCALAPPDATA", s.dataRoot.c_str())) {
        return 1;
    }
    Provider pv;
    Results r;
    ArchRow exchange;
    if (!pv.Load() || !RunLocal(s, pv, &r) || !MeasureExchange(s, pv, &exchange)) {
        return 1;
    }
    pv.t->FreeProvider(pv.prov);
    std::vector<ArchRow> rows;
    for (const PairRow& local : r.local) {
        rows.push_back({local.name, local.a.median, local.b.median});
    }
    rows.push_back(exchange);
    return WriteArchSamples(ArchSampleFile(s.outDir, ThisArch(), round), rows) ? 0 : 1;
}

std::string Narrow(const std::wstring& w)
{
    return std::string(w.begin(), w.end());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Settings s;
    std::wstring reportDir;
    std::string loadStart = "?";
    std::string loadEnd = "?";
    int round = 0;
    int rounds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == L"--quick") {
            s.quick = true;
        } else if (arg == L"--data-root" && more) {
            s.dataRoot = argv[++i];
        } else if (arg == L"--out" && more) {
            s.outDir = argv[++i];
        } else if (arg == L"--round" && more) {
            round = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
        } else if (arg == L"--report" && more) {
            reportDir = argv[++i];
        } else if (arg == L"--rounds" && more) {
            rounds = static_cast<int>(std::wcstol(argv[++i], nullptr, 10));
        } else if (arg == L"--load-start" && more) {
            loadStart = Narrow(argv[++i]);
        } else if (arg == L"--load-end" && more) {
            loadEnd = Narrow(argv[++i]);
        } else {
            rounds = -1;
            break;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (!reportDir.empty() && rounds > 0) {
        return WriteArchReport(reportDir, rounds, loadStart, loadEnd) ? 0 : 1;
    }
    if (reportDir.empty() && rounds == 0 && round > 0 && !s.dataRoot.empty() && !s.outDir.empty()) {
        return Measure(s, round);
    }
    std::printf("usage: ZentravaKSPArchBench --data-root <dir> --out <dir> --round <n> [--quick]\n"
                "       ZentravaKSPArchBench --report <dir> --rounds <n> [--load-start <text>] [--load-end <text>]\n");
    return 2;
}
