#include "service_runner.h"

#include <cstdio>

namespace bench {

std::wstring BesideExe(const wchar_t* name)
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    dir.resize(dir.find_last_of(L"\\/") + 1);
    return dir + name;
}

namespace {

// Starts the service with stdout and stderr going to `logPath`.
bool Launch(const std::wstring& args, const std::wstring& logPath, PROCESS_INFORMATION* pi)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE log = CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring cmd = L"\"" + BesideExe(L"ZentravaSigningService.exe") + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = log;
    si.hStdError = log;
    const BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, pi);
    CloseHandle(log);
    return ok != FALSE;
}

}  // namespace

std::string ReadFileText(const std::wstring& path)
{
    std::string text;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return text;
    }
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof(buf), &got, nullptr) && got > 0) {
        text.append(buf, got);
    }
    CloseHandle(f);
    return text;
}

bool RunServiceCommand(const std::wstring& args, const std::wstring& dataRoot, std::string* output)
{
    const std::wstring logPath = dataRoot + L"\\command.log";
    DeleteFileW(logPath.c_str());
    PROCESS_INFORMATION pi{};
    if (!Launch(args + L" --data-root \"" + dataRoot + L"\"", logPath, &pi)) {
        return false;
    }
    WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (output != nullptr) {
        *output = ReadFileText(logPath);
    }
    return code == 0;
}

ServiceRunner::~ServiceRunner()
{
    if (process_.hProcess != nullptr && !Stop()) {
        TerminateProcess(process_.hProcess, 1);
    }
}

bool ServiceRunner::Start(const std::wstring& dataRoot, DWORD instances)
{
    if (process_.hProcess != nullptr) {
        return false;
    }
    log_ = dataRoot + L"\\serve-" + std::to_wstring(instances) + L".log";
    DeleteFileW(log_.c_str());
    const std::wstring args =
        L"serve --instances " + std::to_wstring(instances) + L" --data-root \"" + dataRoot + L"\"";
    if (!Launch(args, log_, &process_)) {
        process_ = {};
        return false;
    }
    for (int i = 0; i < 2000; ++i) {
        if (ReadFileText(log_).find("serving ") != std::string::npos) {
            return true;
        }
        if (WaitForSingleObject(process_.hProcess, 10) == WAIT_OBJECT_0) {
            std::printf("service ended early:\n%s\n", ReadFileText(log_).c_str());
            return false;
        }
    }
    return false;
}

bool ServiceRunner::Stop()
{
    if (process_.hProcess == nullptr) {
        return false;
    }
    PROCESS_INFORMATION stopper{};
    std::wstring stopLog = log_ + L".stop";
    if (Launch(L"stop", stopLog, &stopper)) {
        WaitForSingleObject(stopper.hProcess, 20000);
        CloseHandle(stopper.hThread);
        CloseHandle(stopper.hProcess);
    }
    const bool ended = WaitForSingleObject(process_.hProcess, 20000) == WAIT_OBJECT_0;
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    if (!ended) {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    return ended && code == 0;
}

}  // namespace bench
