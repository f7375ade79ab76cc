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

std::wstring ServiceCommand(const std::wstring& args, const std::wstring& dataRoot)
{
    std::wstring cmd = zt::QuoteArgument(BesideExe(L"ZentravaSigningService.exe")) + L" " + args;
    if (!dataRoot.empty()) {
        cmd += L" --data-root " + zt::QuoteArgument(dataRoot);
    }
    return cmd;
}

zt::ChildOptions ServiceOptions()
{
    zt::ChildOptions options;
    options.errors = zt::ChildErrors::Merged;
    return options;
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
    const zt::ChildRun run = zt::RunChild(ServiceCommand(args, dataRoot), ServiceOptions(), 120000);
    if (output != nullptr) {
        *output = run.out;
    }
    return run.finished && run.exitCode == 0;
}

ServiceRunner::~ServiceRunner()
{
    if (child_.Running() && !Stop()) {
        child_.Terminate(1, 5000);
    }
}

bool ServiceRunner::Start(const std::wstring& dataRoot)
{
    if (child_.Started() || !child_.Start(ServiceCommand(L"serve", dataRoot), ServiceOptions())) {
        return false;
    }
    if (child_.WaitForOutput("serving ", 20000)) {
        return true;
    }
    std::printf("the service did not start serving:\n%s\n", child_.Output().c_str());
    return false;
}

bool ServiceRunner::Stop()
{
    if (!child_.Started()) {
        return false;
    }
    if (child_.Running()) {
        RunServiceCommand(L"stop", L"", nullptr);
    }
    return child_.Wait(20000) && child_.ExitCode() == 0;
}

std::string ServiceRunner::ServingLine() const
{
    const std::string out = child_.Output();
    const size_t at = out.find("serving ");
    if (at == std::string::npos) {
        return "";
    }
    const size_t end = out.find_first_of("\r\n", at);
    return out.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace bench
