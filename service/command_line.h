// The command line of ZentravaSigningService.exe, as the commands take it:
// the portable parser (service_args.h) on the process's arguments, and the
// serving defaults where an option was not given.
#pragma once

#include "serve_options.h"
#include "service_args.h"

#include <windows.h>

#include <string>

struct CommandLine {
    Command command = Command::Help;
    std::wstring keyName;   // create, delete, import
    std::wstring keyFile;   // import: the key brought from elsewhere
    std::wstring passwordFile;  // import: the PFX password's file
    std::wstring certOut;   // import: where a PFX's certificate goes
    ULONG bits = kDefaultKeyBits;  // create
    ServeOptions serve;     // serve
    std::wstring dataRoot;  // stands in for LOCALAPPDATA when set
};

// False with a message for anything malformed.
bool ParseCommandLine(int argc, const wchar_t* const* argv, CommandLine* out, std::string* error);
