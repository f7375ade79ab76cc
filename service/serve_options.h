// What "serve" can be told, and its defaults. The defaults are what a user
// gets, so they are the ones the load tests and the benchmark run with.
#pragma once

#include <windows.h>

struct ServeOptions {
    // Pipe instances kept listening. A client that finds none fails at once
    // (the provider never retries), and a new one is made the moment one
    // connects; the reserve covers the connects that arrive before that.
    DWORD reserve = 64;
    // Threads for private-key work; 0: one per processor. Each key is
    // imported once per worker, so no operation waits for a copy.
    DWORD workers = 0;
    // Connections one client process may hold at once. A process's
    // connection counts until the service has seen it close, so a process
    // of N threads in a loop can briefly hold up to 2N.
    DWORD perClientLimit = 512;
    // From connect to a whole proof (fields 4 to 7); a correct client sends
    // them within milliseconds of the hello.
    DWORD handshakeMs = 2000;
    // From the proof to a whole request envelope, and for the reply's write.
    DWORD transferMs = 5000;
    // After the reply: how long the client may take to read it and close.
    DWORD closeWaitMs = 5000;
};

constexpr DWORD kMaxReserve = 4096;
constexpr DWORD kMaxWorkers = 64;
constexpr DWORD kMaxPerClientLimit = 65536;

// Workers when none are asked for: the processors this process may use.
DWORD DefaultWorkers();
