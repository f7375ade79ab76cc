#pragma once

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// Reads the user's 32-byte pipe secret from %LOCALAPPDATA%\Zentrava\pipe.secret
// (DPAPI blob or 32 plain bytes), or makes one and writes the file when there
// is none. On success `*secret` is a new 32-byte process-heap block that the
// caller wipes and frees, and `*secretLength` is 32. On failure both hold
// nothing/0. Concurrent first uses (threads or processes) all end up with the
// secret that the file holds. A new secret is written to a temporary file in
// the same folder and moved into place, so a crash never leaves a torn file.
SECURITY_STATUS LoadPipeSecret(BYTE** secret, uint32_t* secretLength);
