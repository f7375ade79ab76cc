#pragma once

#include "heap_block.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// Reads the user's 32-byte pipe secret from %LOCALAPPDATA%\Zentrava\pipe.secret
// (DPAPI blob or 32 plain bytes), or makes one and writes the file when there
// is none. On success `*secret` holds a new 32-byte process-heap block (its
// holder wipes and frees it); on failure it holds nothing. Concurrent first
// uses (threads or processes) all end up with the secret that the file holds.
// A new secret is written to a temporary file in the same folder and moved
// into place, so a crash never leaves a torn file.
SECURITY_STATUS LoadPipeSecret(HeapBlock* secret);

// The same for callers that take the block as a pointer: on success `*secret`
// is the 32-byte block, which the caller wipes and frees, and `*secretLength`
// is 32; on failure both hold nothing/0. NTE_INVALID_PARAMETER for a missing
// pointer.
SECURITY_STATUS LoadPipeSecret(BYTE** secret, uint32_t* secretLength);
