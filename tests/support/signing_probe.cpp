// Child process of the load suites: a signing burst (signing_burst.h) in
// its own process, started at a named event. Prints the burst's summary;
// exit code 0 when every call succeeded and every signature verified.
#include "signing_burst.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5) {
        std::printf("usage: signing_probe <start event> <key name> <threads> <signatures per thread>\n");
        return 2;
    }
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
    if (go == nullptr) {
        std::printf("no start event\n");
        return 3;
    }
    zt::LoadedProvider provider;
    const auto threads = static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10));
    const auto signs = static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10));
    const zt::BurstResult result = zt::RunSigningBurst(provider, argv[2], threads, signs, go);
    CloseHandle(go);
    std::printf("%s\n", result.Summary().c_str());
    return result.Clean() ? 0 : 1;
}
