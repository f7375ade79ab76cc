// What "serve" can be told, and its defaults. The defaults are what a user
// gets, so they are the ones the load tests and the benchmark run with.
#pragma once

#include <windows.h>

#include <string>

struct ServeOptions {
    // Pipe instances kept listening. A client that finds none fails at once
    // (the provider never retries), and a new one is made the moment one
    // connects; the reserve covers the connects that arrive before that.
    // Measured on 2 cores: a burst of N signers that start at once needs N
    // (with 128, exactly half of 256 signers failed; with 256, none), and
    // the service serves 768 such signers without a failure. 2048 idle
    // instances cost about 1 MB and 0.15 s at start more than 512.
    DWORD reserve = 2048;
    // Threads for private-key work; 0: one per processor. Each key is
    // imported once per worker, so no operation waits for a copy.
    DWORD workers = 0;
    // Connections one client process may hold at once, from its connect
    // until its reply is written (the wait for its close is not counted).
    DWORD perClientLimit = 1024;
    // From connect to a whole proof (fields 4 to 7). A correct client sends
    // them within milliseconds of the hello when the machine is idle, but
    // measured on 2 cores its handshake took up to 1.4 s among 256 signers
    // and 2.8 s among 512 (each client waits for the CPU); 5 s is the
    // provider's own limit for one transfer.
    DWORD handshakeMs = 5000;
    // From the proof to a whole request envelope, and for the reply's write.
    DWORD transferMs = 5000;
    // After the reply: how long the client may take to read it and close.
    DWORD closeWaitMs = 5000;
    // Log lines appended to this file; empty: standard output.
    std::wstring logFile;
};

// Workers when none are asked for: the processors this process may use.
DWORD DefaultWorkers();
