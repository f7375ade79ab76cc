// The commands of ZentravaSigningService.exe; each returns the exit code.
#pragma once

#include "command_line.h"

int RunCommand(const CommandLine& command);
