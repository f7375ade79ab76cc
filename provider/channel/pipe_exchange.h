#pragma once

#include "heap_block.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// One request and one reply with the signing service over its pipe: connect,
// handshake, prove the pipe secret, send the encrypted request, verify and
// decrypt the reply. On success, and if `replyPayload` is given, it holds the
// reply payload in a new process-heap block of exactly the payload's length
// (0 included); its holder wipes and frees it. On failure nothing is handed
// out and nothing of the exchange remains. The statuses are the exchange's
// own (NTE_INTERNAL_ERROR for anything on the pipe or in the reply), not
// mapped BCrypt statuses.
SECURITY_STATUS PipeExchange(uint32_t requestCode, const BYTE* payload, uint32_t payloadLength,
                             HeapBlock* replyPayload);

// The same for callers that take the reply as a pointer: with both out
// pointers given, the block of exactly *replyLength bytes is the caller's to
// wipe and free; on failure nothing is written through them.
SECURITY_STATUS PipeExchange(uint32_t requestCode, const BYTE* payload, uint32_t payloadLength, BYTE** replyPayload,
                             uint32_t* replyLength);
