// The user the calling thread acts as: its impersonation token's when it
// impersonates, else the process's.
#pragma once

#include <windows.h>

// A token's user: the record and the SID it points into, in one fixed buffer.
struct TokenUserRecord {
    alignas(TOKEN_USER) BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    PSID sid() const { return reinterpret_cast<const TOKEN_USER*>(bytes)->User.Sid; }
};

bool ReadTokenUser(HANDLE token, TokenUserRecord* user);

// False when no token can be opened or read.
bool ReadCallerUser(TokenUserRecord* user);
