// Child process for the concurrent first-use test: waits for the parent's
// start event, loads the pipe secret once, and writes its hex (or the failing
// status) to the file named on the command line.
//   secret_probe.exe <out file> <start event name> <protect delay ms>
// With --die-in-write it loads the secret and ends itself (exit code 9) in
// the middle of the store's write, as a crash or power loss would.
//   secret_probe.exe --die-in-write
#include "import_patch.h"
#include "interposer.h"
#include "pipe_secret.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

decltype(&WriteFile) g_realWriteFile = nullptr;

BOOL WINAPI HalfWriteThenDie(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED ov)
{
    g_realWriteFile(file, data, length / 2, written, ov);
    FlushFileBuffers(file);
    TerminateProcess(GetCurrentProcess(), 9);
    return FALSE;
}

int DieInWrite()
{
    zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile",
                          zt::Replacement(&WriteFile, &HalfWriteThenDie));
    if (!patch.active()) {
        return 3;
    }
    g_realWriteFile = patch.original_as<decltype(&WriteFile)>();
    BYTE* secret = nullptr;
    uint32_t length = 0;
    LoadPipeSecret(&secret, &length);
    return 4;  // the store never wrote
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"--die-in-write") == 0) {
        return DieInWrite();
    }
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
