// ZentravaKSPBench.exe: where the time of every provider operation goes,
// side by side with its baseline. Run by scripts/bench.sh.
//
//   ZentravaKSPBench --data-root <dir> --out <dir> [--quick] [--throughput-only]
#include "bench.h"
#include "proc_stats.h"
#include "service_process.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace bench {

const wchar_t* KeyName(ULONG bits)
{
    return bits == 2048 ? L"bench-rsa2048" : bits == 3072 ? L"bench-rsa3072" : L"bench-rsa4096";
}

void FixedHash(BYTE out[32])
{
    for (int i = 0; i < 32; ++i) {
        out[i] = static_cast<BYTE>(0x5A ^ (i * 7));
    }
}

bool Provider::Load()
{
    module = LoadLibraryW(zt::BesideExe(L"ZentravaKSP.dll").c_str());
    if (module == nullptr) {
        std::printf("cannot load ZentravaKSP.dll (%lu)\n", GetLastError());
        return false;
    }
    auto entry = reinterpret_cast<GetKeyStorageInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetKeyStorageInterface")));
    if (entry == nullptr || entry(L"Zentrava Key Storage Provider", &t, 0) != 0 || t == nullptr) {
        std::printf("GetKeyStorageInterface failed\n");
        return false;
    }
    if (t->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0) != 0) {
        std::printf("OpenProvider failed\n");
        return false;
    }
    return true;
}

NCRYPT_KEY_HANDLE Provider::Open(const wchar_t* name) const
{
    NCRYPT_KEY_HANDLE k = 0;
    const SECURITY_STATUS st = t->OpenKey(prov, &k, name, 0, 0);
    if (st != 0) {
        std::printf("OpenKey(%ls) failed 0x%08lx\n", name, static_cast<unsigned long>(st));
        return 0;
    }
    return k;
}

SECURITY_STATUS Provider::SignFixedHash(NCRYPT_KEY_HANDLE key) const
{
    static const struct Fixed {
        BYTE hash[32];
        Fixed() { FixedHash(hash); }
    } fixed;
    BYTE hash[32];
    memcpy(hash, fixed.hash, sizeof(hash));
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    BYTE signature[512];
    DWORD written = 0;
    return t->SignHash(prov, key, &pkcs1, hash, sizeof(hash), signature, sizeof(signature), &written,
                       NCRYPT_PAD_PKCS1_FLAG);
}

}  // namespace bench

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
