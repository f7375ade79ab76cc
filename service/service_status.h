// The program's exit codes and the key store's outcomes. The status words
// of a reply are the wire library's (channel/protocol.h).
#pragma once

#include <windows.h>

// Exit codes of the command line (plain ints where a command returns one).
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitKeyNotFound = 2,
    kExitKeyExists = 3,
    kExitKeyDamaged = 4,
    kExitFailure = 5,
    kExitAlreadyRunning = 6,
    kExitNotRunning = 7,
    // import only
    kExitInputRefused = 8,     // unreadable, malformed, not an RSA private key, encrypted PEM/PKCS#8
    kExitKeyTooSmall = 9,      // under 2048 bits
    kExitPasswordProblem = 10,  // a PFX without a usable password, or with a wrong one
};

// Outcome of a key store operation.
enum class StoreResult {
    Ok,
    NotFound,
    Exists,
    Damaged,     // the file is there but does not hold a usable key of that name
    BadName,
    Failed,      // file system, DPAPI or BCrypt failure
};

const char* StoreResultText(StoreResult r);
