// Runs the real ZentravaSigningService.exe (built beside the test) as a
// separate process, on a private data root.
//
//   zt::TempDataRoot root;            // data_root.h: LOCALAPPDATA of this process too,
//                                     // so the provider here shares the service's secret
//   zt::RunService(L"create k1", root.path());
//   zt::ServiceProcess service;
//   ASSERT_TRUE(service.Start(root.path()));
//   ... exchanges ...
//   EXPECT_TRUE(service.Stop());      // "ZentravaSigningService stop", then waits for exit 0
#pragma once

#include "child_process.h"

#include <windows.h>

#include <string>

namespace zt {

struct ToolResult {
    DWORD exitCode = 0xFFFFFFFF;  // 0xFFFFFFFF if it did not end in time
    std::string output;           // stdout and stderr
};

// Runs "ZentravaSigningService.exe <args> [--data-root <dataRoot>]" to its end.
ToolResult RunService(const std::wstring& args, const std::string& dataRoot = "",
                      DWORD timeoutMs = 30000);
ToolResult RunService(const std::wstring& args, const std::wstring& dataRoot, DWORD timeoutMs = 30000);

// A serving process, stopped (or at worst terminated) by the destructor.
class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Before Start: what the service prints goes to this file rather than
    // to a pipe read by a thread of ours (for the benchmark's long runs).
    void SetLogFile(const std::wstring& path) { logFile_ = path; }
    // Before Start: its standard output is a pipe nobody reads.
    void SetOutputUnread() { unreadOutput_ = true; }
    // Starts "serve --data-root <dataRoot> <extraArgs>" and waits until it
    // reports that it serves the pipe. False (with the output kept) otherwise.
    bool Start(const std::string& dataRoot, const std::wstring& extraArgs = L"",
               DWORD timeoutMs = 20000);
    bool Start(const std::wstring& dataRoot, const std::wstring& extraArgs = L"",
               DWORD timeoutMs = 20000);
    // Runs the stop command and waits for the process to end; true if it
    // ended with exit code 0.
    bool Stop(DWORD timeoutMs = 20000);
    // Ends the process at once (TerminateProcess), as a crash would; true
    // once it has ended.
    bool Kill(DWORD timeoutMs = 20000);
    bool Running() const;
    DWORD ExitCode() const;
    DWORD ProcessId() const { return child_.ProcessId(); }
    // Everything the process printed so far.
    std::string Output() const;
    // Waits until the output contains `text`.
    bool WaitForOutput(const std::string& text, DWORD timeoutMs) const;

private:
    ChildProcess child_;
    std::wstring logFile_;
    bool unreadOutput_ = false;
};

}  // namespace zt
