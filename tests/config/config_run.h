// Runs the tool's command code in this process with its output captured.
#pragma once

#include <string>
#include <vector>

namespace zt {

struct ConfigRun {
    int exitCode = -1;
    std::string out;
};

ConfigRun RunConfig(std::vector<std::wstring> args);

}  // namespace zt
