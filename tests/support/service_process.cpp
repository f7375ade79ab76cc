#include "service_process.h"

#include "data_root.h"
#include "provider_loader.h"


namespace zt {

namespace {

struct Child {
    PROCESS_INFORMATION process{};
    HANDLE outputRead = nullptr;
};

// Starts the service exe with stdout and stderr on a pipe that we read.
bool Launch(const std::wstring& args, const std::wstring& dataRoot, Child* child)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd = L"\"" + BesideExe(L"ZentravaSigningService.exe") + L"\" " + args;
    if (!dataRoot.empty()) {
        cmd += L" --data-root \"" + dataRoot + L"\"";
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write;
    si.hStdError = write;
    BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                             &child->process);
    CloseHandle(write);
    if (!ok) {
        CloseHandle(read);
        return false;
    }
    child->outputRead = read;
    return true;
}

}  // namespace

ToolResult RunService(const std::wstring& args, const std::string& dataRoot, DWORD timeoutMs)
{
    return RunService(args, FromAnsi(dataRoot), timeoutMs);
}

ToolResult RunService(const std::wstring& args, const std::wstring& dataRoot, DWORD timeoutMs)
{
    ToolResult result;
    Child child;
    if (!Launch(args, dataRoot, &child)) {
        result.output = "cannot start ZentravaSigningService.exe";
        return result;
    }
    // Reads until the child closes its end; the process handle bounds the wait.
    std::string output;
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    char buf[4096];
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(child.outputRead, nullptr, 0, nullptr, &avail, nullptr)) {
            break;  // the child and every copy of the write end are gone
        }
        DWORD got = 0;
        if (avail > 0 && ReadFile(child.outputRead, buf, sizeof(buf), &got, nullptr) && got > 0) {
            output.append(buf, got);
            continue;
        }
        if (WaitForSingleObject(child.process.hProcess, 0) == WAIT_OBJECT_0 && avail == 0) {
            // Drain whatever arrived between the peek and the exit.
            while (PeekNamedPipe(child.outputRead, nullptr, 0, nullptr, &avail, nullptr) && avail > 0 &&
                   ReadFile(child.outputRead, buf, sizeof(buf), &got, nullptr) && got > 0) {
                output.append(buf, got);
            }
            break;
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(child.process.hProcess, 0xFFFFFFFF);
            break;
        }
        Sleep(5);
    }
    WaitForSingleObject(child.process.hProcess, 5000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(child.process.hProcess, &code);
    result.exitCode = code;
    result.output = output;
    CloseHandle(child.outputRead);
    CloseHandle(child.process.hThread);
    CloseHandle(child.process.hProcess);
    return result;
}

DWORD WINAPI ServiceProcessOutputReader(void* arg)
{
    ServiceProcess* self = static_cast<ServiceProcess*>(arg);
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(self->outputRead_, buf, sizeof(buf), &got, nullptr) && got > 0) {
        self->Append(buf, got);
    }
    return 0;
}

void ServiceProcess::Append(const char* data, DWORD n)
{
    AcquireSRWLockExclusive(&lock_);
    output_.append(data, n);
    ReleaseSRWLockExclusive(&lock_);
}

bool ServiceProcess::Start(const std::string& dataRoot, const std::wstring& extraArgs, DWORD timeoutMs)
{
    return Start(FromAnsi(dataRoot), extraArgs, timeoutMs);
}

bool ServiceProcess::Start(const std::wstring& dataRoot, const std::wstring& extraArgs, DWORD timeoutMs)
{
    Child child;
    if (process_.hProcess != nullptr || !Launch(L"serve " + extraArgs, dataRoot, &child)) {
        return false;
    }
    process_ = child.process;
    outputRead_ = child.outputRead;
    reader_ = CreateThread(nullptr, 0, ServiceProcessOutputReader, this, 0, nullptr);
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
        if (Output().find("serving ") != std::string::npos) {
            return true;
        }
        if (!Running()) {
            return false;
        }
        Sleep(10);
    }
    return false;
}

bool ServiceProcess::Stop(DWORD timeoutMs)
{
    if (process_.hProcess == nullptr) {
        return false;
    }
    if (Running()) {
        RunService(L"stop");
    }
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (reader_ != nullptr) {
        WaitForSingleObject(reader_, 5000);
    }
    return ExitCode() == 0;
}

bool ServiceProcess::Kill(DWORD timeoutMs)
{
    if (process_.hProcess == nullptr) {
        return false;
    }
    TerminateProcess(process_.hProcess, 0xDEAD);
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (reader_ != nullptr) {
        WaitForSingleObject(reader_, 5000);
    }
    return true;
}

bool ServiceProcess::Running() const
{
    return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD ServiceProcess::ExitCode() const
{
    DWORD code = 0xFFFFFFFF;
    if (process_.hProcess != nullptr) {
        GetExitCodeProcess(process_.hProcess, &code);
    }
    return code;
}

std::string ServiceProcess::Output() const
{
    AcquireSRWLockShared(&lock_);
    std::string copy = output_;
    ReleaseSRWLockShared(&lock_);
    return copy;
}

bool ServiceProcess::WaitForOutput(const std::string& text, DWORD timeoutMs) const
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        if (Output().find(text) != std::string::npos) {
            return true;
        }
        Sleep(10);
    } while (GetTickCount64() < deadline);
    return false;
}

ServiceProcess::~ServiceProcess()
{
    if (process_.hProcess == nullptr) {
        return;
    }
    if (Running() && !Stop()) {
        TerminateProcess(process_.hProcess, 0xFFFFFFFF);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    if (reader_ != nullptr) {
        WaitForSingleObject(reader_, 5000);
        CloseHandle(reader_);
    }
    CloseHandle(outputRead_);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

}  // namespace zt
