// ZentravaKSPBench.exe: where the time of every provider operation goes,
// side by side with its baseline. Run by scripts/bench.sh.
//
//   ZentravaKSPBench --data-root <dir> --out <dir> [--quick] [--throughput-only]
#include "bench.h"
#include "proc_stats.h"
#include "service_process.h"

#include <cstdio>
#include <string>

namespace {

using namespace bench;

bool ParseArgs(int argc, wchar_t** argv, Settings* s)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--quick") {
            s->quick = true;
        } else if (arg == L"--throughput-only") {
            s->throughputOnly = true;
        } else if (arg == L"--data-root" && i + 1 < argc) {
            s->dataRoot = argv[++i];
        } else if (arg == L"--out" && i + 1 < argc) {
            s->outDir = argv[++i];
        } else {
            return false;
        }
    }
    return !s->dataRoot.empty() && !s->outDir.empty();
}

bool CreateKeys(const Settings& s)
{
    for (ULONG bits : {2048ul, 3072ul, 4096ul}) {
        const std::wstring args = L"create " + std::wstring(KeyName(bits)) + L" --bits " + std::to_wstring(bits);
        // 4096-bit generation under Wine can take a while.
        const zt::ToolResult created = zt::RunService(args, s.dataRoot, 120000);
        if (created.exitCode != 0) {
            std::printf("cannot create %ls: %s\n", KeyName(bits), created.output.c_str());
            return false;
        }
    }
    return true;
}

// "serve" with its defaults on the benchmark's root, its log in a file there
// (no reader thread of ours runs while we measure); waits until it serves.
// `servingLine` gets its "serving ..." line: the reserve, workers and I/O
// threads it chose.
bool StartService(zt::ServiceProcess* service, const Settings& s, std::string* servingLine)
{
    const std::wstring log = s.dataRoot + L"\\serve.log";
    DeleteFileW(log.c_str());
    service->SetLogFile(log);
    if (!service->Start(s.dataRoot)) {
        std::printf("the signing service did not start:\n%s\n", service->Output().c_str());
        return false;
    }
    const std::string text = service->Output();
    const size_t at = text.find("serving ");
    const size_t end = at == std::string::npos ? at : text.find_first_of("\r\n", at);
    *servingLine = at == std::string::npos ? "" : text.substr(at, end == std::string::npos ? end : end - at);
    return true;
}

int Run(const Settings& s)
{
    // The provider and the key store in this process use the service's root.
    if (!SetEnvironmentVariableW(L"LOCALAPPDATA", s.dataRoot.c_str()) || !CreateKeys(s)) {
        return 1;
    }
    Provider pv;
    if (!pv.Load()) {
        return 1;
    }
    Results r;
    r.loadStart = LoadAverage();
    // Every item runs against "serve" with its defaults: what a user gets.
    zt::ServiceProcess service;
    if (!StartService(&service, s, &r.servingLine)) {
        return 1;
    }
    std::printf("service: %s\n", r.servingLine.c_str());
    if (s.throughputOnly) {
        const bool ok = RunThroughput(s, pv, ThroughputOp::SignHash, &r.throughput) && service.Stop();
        pv.t->FreeProvider(pv.prov);
        r.loadEnd = LoadAverage();
        return ok && WriteOneCpuReport(s, r) ? 0 : 1;
    }
    if (!RunLocal(s, pv, &r) || !RunRemote(s, pv, &r) || !RunServiceSide(s, &r) || !RunTransferCost(s, &r) ||
        !RunCheckCost(s, &r) || !RunBreakdown(s, pv, &r) ||
        !RunConcurrency(s, pv, service.ProcessId(), &r) ||
        !RunThroughput(s, pv, ThroughputOp::OpenKey, &r.openKeyThroughput)) {
        return 1;
    }
    if (!service.Stop()) {
        std::printf("the signing service did not stop cleanly\n");
        return 1;
    }
    pv.t->FreeProvider(pv.prov);
    r.loadEnd = LoadAverage();
    return WriteReport(s, r) ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Settings s;
    if (!ParseArgs(argc, argv, &s)) {
        std::printf("usage: ZentravaKSPBench --data-root <dir> --out <dir> [--quick] [--throughput-only]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    return Run(s);
}
