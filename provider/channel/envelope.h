// Envelopes sealed and opened under the session keys, and on the pipe; their
// layout and reader are envelope_layout.h's.
#pragma once

#include "envelope_layout.h"
#include "heap_block.h"
#include "protocol.h"
#include "session_keys.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// Encrypts `plaintext` under a fresh random IV with PKCS#7 padding and MACs
// the ciphertext. Fails with NTE_INTERNAL_ERROR (BCrypt) or NTE_NO_MEMORY.
SECURITY_STATUS SealEnvelope(const SessionKeys& keys, const BYTE* plaintext, uint32_t plaintextLength,
                             Envelope* envelope);

// Checks the MAC (length 32, constant-time compare) before decrypting, then
// decrypts with PKCS#7. `plaintext` receives a process-heap block of the
// ciphertext's length, of which `*plaintextLength` bytes are the plaintext;
// the caller wipes and frees it (HeapBlock does). NTE_INTERNAL_ERROR on any
// failure (bad MAC, bad IV length, bad padding), NTE_NO_MEMORY.
SECURITY_STATUS OpenEnvelope(const SessionKeys& keys, const Envelope& envelope, HeapBlock* plaintext,
                             uint32_t* plaintextLength);

// Writes the six fields with one timed write each. `event`: see TimedPipeRead.
bool WriteEnvelope(HANDLE pipe, const Envelope& envelope, HANDLE event = nullptr);

// ReadEnvelopeFields with one timed read per field.
bool ReadEnvelope(HANDLE pipe, Envelope* envelope, HANDLE event = nullptr);

// u32 fields on the pipe.
bool WriteU32(HANDLE pipe, uint32_t value, HANDLE event = nullptr);
bool ReadU32(HANDLE pipe, uint32_t* value, HANDLE event = nullptr);
