#include "config_commands.h"

int wmain(int argc, wchar_t** argv)
{
    return RunConfigCommand(argc, argv);
}
