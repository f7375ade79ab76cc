#pragma once

#include "field_stream.h"
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

// The six fields as they go on the wire: u32 IV length, IV, u32 ciphertext
// length, ciphertext, u32 MAC length, MAC. The one serializer of envelopes:
// a writer sends the pieces one by one or gathers them into one block.
struct EnvelopeWire {
    BYTE lengths[3][4] = {};
    const BYTE* piece[6] = {};
    uint32_t pieceLength[6] = {};
    uint64_t total = 0;
};

// False for an envelope whose lengths do not match what it holds.
bool LayOutEnvelope(const Envelope& envelope, EnvelopeWire* wire);

// The six fields in one new block of exactly their length. False for an
// inconsistent envelope or when the block cannot be allocated.
bool EncodeEnvelope(const Envelope& envelope, HeapBlock* fields);

// Writes the six fields with one timed write each. `event`: see TimedPipeRead.
bool WriteEnvelope(HANDLE pipe, const Envelope& envelope, HANDLE event = nullptr);

// Takes the six fields as they arrive (see field_stream.h). Lengths out of
// bounds (IV 1..16, ciphertext 1..1,048,576, MAC 1..128) are refused before
// anything is allocated or read further; a block is allocated as soon as its
// length is known. After a refusal the envelope is unusable.
class EnvelopeDecoder {
public:
    explicit EnvelopeDecoder(Envelope* envelope);
    EnvelopeDecoder(const EnvelopeDecoder&) = delete;
    EnvelopeDecoder& operator=(const EnvelopeDecoder&) = delete;
    ~EnvelopeDecoder() { WipeBytes(length_, sizeof(length_)); }

    bool Complete() const { return step_ == kSteps; }
    FieldTarget Next() const;
    bool Advance(uint32_t n);

private:
    static constexpr int kSteps = 6;
    BYTE* FieldStart() const;
    uint32_t FieldLength() const;
    bool FieldDone();

    Envelope* envelope_;
    int step_ = 0;
    uint32_t filled_ = 0;
    mutable BYTE length_[4] = {};  // the length field being read
};

// Reads the six fields through `readField(void* buffer, uint32_t length)`,
// which fills the whole buffer or fails, one call per field.
template <typename ReadField>
bool ReadEnvelopeFields(ReadField&& readField, Envelope* envelope)
{
    EnvelopeDecoder decoder(envelope);
    return ReadAllFields(&decoder, readField);
}

// ReadEnvelopeFields with one timed read per field.
bool ReadEnvelope(HANDLE pipe, Envelope* envelope, HANDLE event = nullptr);

// u32 fields on the pipe.
bool WriteU32(HANDLE pipe, uint32_t value, HANDLE event = nullptr);
bool ReadU32(HANDLE pipe, uint32_t* value, HANDLE event = nullptr);
