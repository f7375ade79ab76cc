#include "tool_process.h"

#include <vector>

namespace zt {

std::wstring ToolPath()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path = self;
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"ZentravaKSPConfig.exe";
}

ToolRun RunTool(const std::wstring& args)
{
    ToolRun run;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) {
        return run;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = nullptr;
    std::wstring command = L"\"" + ToolPath() + L"\"";
    if (!args.empty()) {
        command += L" " + args;
    }
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION pi = {};
    run.started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi) != 0;
    CloseHandle(writeEnd);
    if (run.started) {
        char chunk[512];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            run.out.append(chunk, got);
        }
        if (WaitForSingleObject(pi.hProcess, 20000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(pi.hProcess, &run.exitCode);
        } else {
            TerminateProcess(pi.hProcess, 99);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(readEnd);
    return run;
}

}  // namespace zt
