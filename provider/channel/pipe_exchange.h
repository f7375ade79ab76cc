#pragma once

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// One request and one reply with the signing service over its pipe: connect,
// handshake, prove the pipe secret, send the encrypted request, verify and
// decrypt the reply. On success, and if both out pointers are given, the
// reply payload is handed out in a new process-heap block of exactly
// *replyLength bytes, which the caller wipes and frees. On failure nothing is
// written through the out pointers and nothing of the exchange remains.
SECURITY_STATUS PipeExchange(uint32_t requestCode, const BYTE* payload, uint32_t payloadLength, BYTE** replyPayload,
                             uint32_t* replyLength);
