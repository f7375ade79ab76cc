#include "service_process.h"

#include <string>

#include "temp_folder.h"

namespace zt {

namespace {

// "ZentravaSigningService.exe <args> [--data-root <root>]", output and errors
// in one stream, this process's console input (for the password prompt).
std::wstring ServiceCommandLine(const std::wstring& args, const std::wstring& dataRoot)
{
    std::wstring cmd = L"\"" + BesideExe(L"ZentravaSigningService.exe") + L"\" " + args;
    if (!dataRoot.empty()) {
        cmd += L" --data-root \"" + dataRoot + L"\"";
    }
    return cmd;
}

ChildOptions ServiceOptions()
{
    ChildOptions options;
    options.input = ChildInput::Inherit;
    options.errors = ChildErrors::Merged;
    return options;
}

}  // namespace

ToolResult RunService(const std::wstring& args, const std::string& dataRoot, DWORD timeoutMs)
{
    return RunService(args, FromAnsi(dataRoot), timeoutMs);
}

ToolResult RunService(const std::wstring& args, const std::wstring& dataRoot, DWORD timeoutMs)
{
    ToolResult result;
    const ChildRun run = RunChild(ServiceCommandLine(args, dataRoot), ServiceOptions(), timeoutMs);
    if (!run.started) {
        result.output = "cannot start ZentravaSigningService.exe (error " + std::to_string(run.startError) + ")";
        return result;
    }
    result.exitCode = run.exitCode;
    result.output = run.out;
    return result;
}

bool ServiceProcess::Start(const std::string& dataRoot, const std::wstring& extraArgs, DWORD timeoutMs)
{
    return Start(FromAnsi(dataRoot), extraArgs, timeoutMs);
}

bool ServiceProcess::Start(const std::wstring& dataRoot, const std::wstring& extraArgs, DWORD timeoutMs)
{
    ChildOptions options = ServiceOptions();
    options.outputFile = logFile_;
    options.unreadOutput = unreadOutput_;
    if (child_.Started() || !child_.Start(ServiceCommandLine(L"serve " + extraArgs, dataRoot), options)) {
        return false;
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
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
    if (!child_.Started()) {
        return false;
    }
    if (Running()) {
        RunService(L"stop");
    }
    return child_.Wait(timeoutMs) && ExitCode() == 0;
}

bool ServiceProcess::Kill(DWORD timeoutMs)
{
    return child_.Terminate(0xDEAD, timeoutMs);
}

bool ServiceProcess::Running() const
{
    return child_.Running();
}

DWORD ServiceProcess::ExitCode() const
{
    return child_.ExitCode();
}

std::string ServiceProcess::Output() const
{
    return child_.Output();
}

bool ServiceProcess::WaitForOutput(const std::string& text, DWORD timeoutMs) const
{
    return child_.WaitForOutput(text, timeoutMs);
}

ServiceProcess::~ServiceProcess()
{
    if (Running()) {
        Stop();
    }
    // child_ ends whatever still runs.
}

}  // namespace zt
