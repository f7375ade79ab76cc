// The reference signing service as a child process on the benchmark's own
// data root, started through the tests' one child-process runner.
#pragma once

#include "child_process.h"

#include <windows.h>

#include <string>

namespace bench {

// Full path of a file beside the benchmark executable.
std::wstring BesideExe(const wchar_t* name);

// The whole content of a file that may still be open for writing elsewhere.
std::string ReadFileText(const std::wstring& path);

// Runs "ZentravaSigningService <args> --data-root <root>" to its end; true on exit code 0.
bool RunServiceCommand(const std::wstring& args, const std::wstring& dataRoot, std::string* output);

class ServiceRunner {
public:
    ServiceRunner() = default;
    ~ServiceRunner();
    ServiceRunner(const ServiceRunner&) = delete;
    ServiceRunner& operator=(const ServiceRunner&) = delete;

    // "serve" with its defaults (what a user gets); waits until it says it serves.
    bool Start(const std::wstring& dataRoot);
    // "stop", then waits for the process; true if it ended with 0.
    bool Stop();

    DWORD ProcessId() const { return child_.ProcessId(); }
    // Its "serving ..." line: the reserve, workers and I/O threads it chose.
    std::string ServingLine() const;

private:
    zt::ChildProcess child_;
};

}  // namespace bench
