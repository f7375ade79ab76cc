#include "config_commands.h"

#include <cwchar>

namespace {

void PrintUsage()
{
    wprintf(L"Usage: ZentravaKSPconfig -enum | -register | -unregister | -cleanup\n");
}

}  // namespace

int RunConfigCommand(int argc, wchar_t** argv)
{
    if (argc <= 1 || argv == nullptr || argv[1] == nullptr) {
        PrintUsage();
        return 1;
    }
    const wchar_t* command = argv[1];
    if (_wcsicmp(command, L"-register") == 0) {
        RegisterCommand();
    } else if (_wcsicmp(command, L"-unregister") == 0) {
        UnregisterCommand();
    } else if (_wcsicmp(command, L"-enum") == 0) {
        EnumCommand();
    } else if (_wcsicmp(command, L"-cleanup") == 0) {
        CleanupCommand();
    } else {
        // %ls: with mingw-w64's C99 printf a wide %s would take a narrow string.
        wprintf(L"Unrecognized command \"%ls\"\n", command);
        PrintUsage();
        return 1;
    }
    return 0;
}
