// The command line of ZentravaSigningService.exe.
#pragma once

#include "serve_options.h"

#include <windows.h>

#include <string>

enum class Command { Help, Create, List, Delete, Import, Serve, Stop };

struct CommandLine {
    Command command = Command::Help;
    std::wstring keyName;   // create, delete, import
    std::wstring keyFile;   // import: the key brought from elsewhere
    std::wstring passwordFile;  // import: the PFX password's file
    std::wstring certOut;   // import: where a PFX's certificate goes
    ULONG bits = 2048;      // create
    ServeOptions serve;     // serve
    std::wstring dataRoot;  // stands in for LOCALAPPDATA when set
};

// False with a message for anything malformed.
bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine* out, std::string* error);

extern const char kUsage[];
