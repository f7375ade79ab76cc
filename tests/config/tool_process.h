// Starts the built ZentravaKSPConfig.exe and collects its standard output.
#pragma once

#include <windows.h>

#include <string>

namespace zt {

struct ToolRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    bool started = false;
};

// The tool next to this test executable.
std::wstring ToolPath();

// `args` is appended to the quoted program path as it stands.
ToolRun RunTool(const std::wstring& args);

}  // namespace zt
