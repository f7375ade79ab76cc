// The names one user's service goes by: its own pipe and stop event, each
// ending in the user's SID, so that services of several users on one
// machine (or in one session) never meet. The machine-wide pipe name is
// served too when it is free, for providers of earlier versions.
#pragma once

#include <string>

struct ServingNames {
    std::wstring userPipe;   // \\.\pipe\ZentravaPipe.<SID>
    std::wstring stopEvent;  // Local\ZentravaSigningService.Stop.<SID>
};

// From the token of the process (of the thread, when it impersonates).
// False when the token cannot be read.
bool ReadServingNames(ServingNames* names);
