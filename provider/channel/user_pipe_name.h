// The pipe a user's own service serves beside the machine-wide one: the
// machine-wide name, a dot and the user's SID in its string form. Each user
// has a name of their own, so a second user's service can start, and a
// client reaches its own user's service first.
#pragma once

#include <windows.h>

#include <cstddef>

// Room for the longest SID string (15 sub-authorities, a 48-bit authority).
constexpr size_t kUserPipeNameCapacity = 256;

struct UserPipeName {
    char text[kUserPipeNameCapacity] = {};
};

// False for a SID that is not valid. Formats the SID as the platform's
// string form does (S-1-5-21-...), without allocating.
bool FormatUserPipeName(PSID sid, UserPipeName* name);

// The SID's string form alone (S-1-...).
bool FormatSidString(PSID sid, char* out, size_t capacity);
