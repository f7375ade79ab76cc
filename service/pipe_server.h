// Serving the pipe: a fixed set of instances, each with its own thread that
// connects one client, runs one exchange, disconnects, and waits again.
#pragma once

#include <windows.h>

constexpr DWORD kDefaultInstances = 16;
constexpr DWORD kMaxInstances = 254;

// Runs until the stop event is set; returns the program's exit code.
int Serve(DWORD instances);
