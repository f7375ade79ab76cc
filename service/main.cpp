// ZentravaSigningService.exe: keeps RSA keys for the current user and
// answers the provider's requests on the pipe.
#include "command_line.h"
#include "commands.h"
#include "service_status.h"
#include "utf8_text.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    CommandLine command;
    std::string error;
    if (!ParseCommandLine(argc, argv, &command, &error)) {
        std::printf("%s\n%s", error.c_str(), ServiceUsageText());
        return kExitUsage;
    }
    if (!command.dataRoot.empty()) {
        // Set before anything reads LOCALAPPDATA (key store, pipe secret).
        wchar_t full[1024];
        DWORD n = GetFullPathNameW(command.dataRoot.c_str(), 1024, full, nullptr);
        if (n == 0 || n >= 1024 || !SetEnvironmentVariableW(L"LOCALAPPDATA", full)) {
            std::printf("--data-root: cannot use that folder\n");
            return kExitUsage;
        }
        // The root stands for LOCALAPPDATA, which always exists; its own
        // folders below it are made as needed, the root itself is not.
        const DWORD attributes = GetFileAttributesW(full);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            std::printf("--data-root: \"%s\" is not an existing folder\n", Utf8(full).c_str());
            return kExitUsage;
        }
    }
    return RunCommand(command);
}
