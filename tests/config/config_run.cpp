#include "config_run.h"

#include "config_commands.h"
#include "stdout_capture.h"

namespace zt {

ConfigRun RunConfig(std::vector<std::wstring> args)
{
    std::wstring program = L"ZentravaKSPConfig.exe";
    std::vector<wchar_t*> argv{program.data()};
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    ConfigRun run;
    StdoutCapture capture;
    run.exitCode = RunConfigCommand(static_cast<int>(argv.size() - 1), argv.data());
    run.out = capture.Finish();
    return run;
}

}  // namespace zt
