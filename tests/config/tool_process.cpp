#include "tool_process.h"

#include "child_process.h"

namespace zt {

std::wstring ToolPath()
{
    return BesideExe(L"ZentravaKSPConfig.exe");
}

ToolRun RunTool(const std::wstring& args)
{
    std::wstring command = L"\"" + ToolPath() + L"\"";
    if (!args.empty()) {
        command += L" " + args;
    }
    // Standard output only; errors go where this process's go.
    ChildOptions options;
    options.input = ChildInput::None;
    options.errors = ChildErrors::Inherit;
    const ChildRun child = RunChild(command, options, 20000, 99);
    ToolRun run;
    run.started = child.started;
    run.out = child.out;
    if (child.finished) {
        run.exitCode = child.exitCode;
    }
    return run;
}

}  // namespace zt
