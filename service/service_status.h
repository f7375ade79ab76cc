// Status words the service puts in a reply, and the program's exit codes.
#pragma once

#include <windows.h>

// Reply status words (the u32 at the head of every reply plaintext).
constexpr DWORD kReplyOk = 0;
constexpr DWORD kReplyUnknownKey = 1;       // no key of that name in the store
constexpr DWORD kReplyBadRequest = 2;       // malformed payload, unknown code, bad flags or hash length
constexpr DWORD kReplyOperationFailed = 3;  // the key file is damaged or the platform refused the operation

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
