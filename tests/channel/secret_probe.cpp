// Child process for the concurrent first-use test: waits for the parent's
// start event, loads the pipe secret once, and writes its hex (or the failing
// status) to the file named on the command line.
//   secret_probe.exe <out file> <start event name> <protect delay ms>
#include "interposer.h"
#include "pipe_secret.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4) {
        return 2;
    }
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (go == nullptr || WaitForSingleObject(go, 20000) != WAIT_OBJECT_0) {
        return 3;
    }
    const DWORD delay = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
    BYTE* secret = nullptr;
    uint32_t length = 0;
    SECURITY_STATUS status;
    {
        // Staggered protection: every child finds no file, then they reach
        // the point of creating it one after another.
        zt::Interposer spy(GetModuleHandleW(nullptr));
        spy.SetDelay(zt::Fn::CryptProtectData, delay);
        status = LoadPipeSecret(&secret, &length);
    }
    FILE* out = _wfopen(argv[1], L"wb");
    if (out == nullptr) {
        return 4;
    }
    if (status != 0) {
        std::fprintf(out, "ERR %08lx", static_cast<unsigned long>(status));
    } else {
        for (uint32_t i = 0; i < length; ++i) {
            std::fprintf(out, "%02x", secret[i]);
        }
        SecureZeroMemory(secret, length);
        HeapFree(GetProcessHeap(), 0, secret);
    }
    std::fclose(out);
    CloseHandle(go);
    return status == 0 ? 0 : 1;
}
