#pragma once

#include "heap_block.h"
#include "protocol.h"
#include "session_keys.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// One envelope as it travels: IV, ciphertext, MAC (each preceded on the wire
// by its u32 length). The MAC covers the ciphertext bytes only.
struct Envelope {
    BYTE iv[kMaxEnvelopeIvLength] = {};
    uint32_t ivLength = 0;
    HeapBlock ciphertext;  // ciphertextLength bytes
    uint32_t ciphertextLength = 0;
    HeapBlock mac;  // macLength bytes
    uint32_t macLength = 0;

    Envelope() = default;
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;
    ~Envelope() { WipeBytes(iv, sizeof(iv)); }
};

// Zeroes the IV and releases (wiping) the ciphertext and MAC blocks.
void ClearEnvelope(Envelope* envelope);

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

// Writes the six fields with timed writes. `event`: see TimedPipeRead.
bool WriteEnvelope(HANDLE pipe, const Envelope& envelope, HANDLE event = nullptr);

// Reads the six fields through `readField(void* buffer, uint32_t length)`,
// which fills the whole buffer or fails. Lengths out of bounds (IV 1..16,
// ciphertext 1..1,048,576, MAC 1..128) fail before anything is allocated
// or read further.
template <typename ReadField>
bool ReadEnvelopeFields(ReadField&& readField, Envelope* envelope)
{
    ClearEnvelope(envelope);
    BYTE field[4] = {};
    if (!readField(field, 4)) {
        return false;
    }
    uint32_t n = GetU32(field);
    if (n == 0 || n > kMaxEnvelopeIvLength || !readField(envelope->iv, n)) {
        return false;
    }
    envelope->ivLength = n;
    if (!readField(field, 4)) {
        return false;
    }
    n = GetU32(field);
    if (n == 0 || n > kMaxEnvelopeCiphertextLength) {
        return false;
    }
    envelope->ciphertext = HeapBlock(n);
    if (!envelope->ciphertext) {
        return false;
    }
    envelope->ciphertextLength = n;
    if (!readField(envelope->ciphertext.get(), n) || !readField(field, 4)) {
        return false;
    }
    n = GetU32(field);
    if (n == 0 || n > kMaxEnvelopeMacLength) {
        return false;
    }
    envelope->mac = HeapBlock(n);
    if (!envelope->mac) {
        return false;
    }
    envelope->macLength = n;
    return readField(envelope->mac.get(), n);
}

// ReadEnvelopeFields with one timed read per field.
bool ReadEnvelope(HANDLE pipe, Envelope* envelope, HANDLE event = nullptr);

// u32 fields on the pipe.
bool WriteU32(HANDLE pipe, uint32_t value, HANDLE event = nullptr);
bool ReadU32(HANDLE pipe, uint32_t* value, HANDLE event = nullptr);
