#pragma once

#include <windows.h>

// True only if the process that serves `pipe` (a connected client end) runs
// as the same user as the caller (the thread's token when it impersonates,
// else the process's) and at medium integrity or above. Any query that cannot
// be answered gives false, so an unknown server is treated like one that is
// not there.
bool PipeServerIsCallersUser(HANDLE pipe);

// The same check against a user already read (the caller's, read once per
// exchange for the pipe's name and for this).
bool PipeServerIsUser(HANDLE pipe, PSID user);
