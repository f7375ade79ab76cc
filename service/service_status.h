// The program's exit codes and the key store's outcomes. The status words
// of a reply are the wire library's (channel/protocol.h).
#pragma once

#include <windows.h>

// Exit codes of the command line.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitKeyNotFound = 2;
constexpr int kExitKeyExists = 3;
constexpr int kExitKeyDamaged = 4;
constexpr int kExitFailure = 5;
constexpr int kExitAlreadyRunning = 6;
constexpr int kExitNotRunning = 7;
// import only
constexpr int kExitInputRefused = 8;    // unreadable, malformed, not an RSA private key, encrypted PEM/PKCS#8
constexpr int kExitKeyTooSmall = 9;     // under 2048 bits
constexpr int kExitPasswordProblem = 10;  // a PFX without a usable password, or with a wrong one

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
