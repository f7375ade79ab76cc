// The configuration tool's commands. Each reports on standard output.
#pragma once

#include <windows.h>

// Runs the command named by argv[1]; returns the process exit status
// (1 after the usage text, 0 after any command).
int RunConfigCommand(int argc, wchar_t** argv);

void RegisterCommand();
void UnregisterCommand();
void EnumCommand();
void CleanupCommand();
