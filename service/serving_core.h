// The serving core: pipe instances on thread-pool I/O, made ahead of
// demand, each connection a small state machine (connection.cpp), and the
// private-key work on a bounded pool of workers. No thread waits on one
// connection, so the thread count does not grow with the clients.
#pragma once

#include "serve_options.h"
#include "server_exchange.h"

#include <windows.h>

#include <string>

struct ServingCore;

// What the core runs with, for the "serving" line and the tests.
struct ServingShape {
    DWORD reserve = 0;  // on each name
    DWORD workers = 0;
    DWORD ioThreads = 0;
};

// A name to serve and its first instance, made by the caller.
struct ServedPipe {
    const wchar_t* name;
    HANDLE first;
};

// Makes the thread pools, the sweep timer and, on each of the `count` names
// (1 or 2), a reserve of listening instances; each `first` is the first of
// its name's and is owned by the core from now on, whatever the outcome.
// False with a message, and nothing left running, if any of it fails.
bool StartServingCore(const ServeOptions& options, ServerState* state, SECURITY_ATTRIBUTES* security,
                      const ServedPipe* pipes, DWORD count, ServingCore** core, std::string* error);

ServingShape CoreShape(const ServingCore* core);

// Serves until `stop` is set or serving cannot go on (no instance can be
// kept listening); then stops listening, lets every exchange in progress
// finish and releases everything, the core included. 0 after a stop; on a
// failure the exit code for it and a message.
int RunServingCore(ServingCore* core, HANDLE stop, std::string* error);

// The instance every connection starts from: overlapped, byte mode, local
// clients only, unlimited instances.
HANDLE CreatePipeInstance(const wchar_t* name, SECURITY_ATTRIBUTES* security, bool first);
