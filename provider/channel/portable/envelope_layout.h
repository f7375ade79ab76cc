// Envelopes as bytes: the record, the one serializer (the six fields for
// one write or one write per field) and the incremental reader. Sealing and
// opening (crypto) and the pipe are envelope.h's.
#pragma once

#include "field_stream.h"
#include "heap_block.h"
#include "protocol.h"
#include "wiped_memory.h"

#include <cstdint>

// One envelope as it travels: IV, ciphertext, MAC (each preceded on the wire
// by its u32 length). The MAC covers the ciphertext bytes only.
struct Envelope {
    std::uint8_t iv[kMaxEnvelopeIvLength] = {};
    std::uint32_t ivLength = 0;
    HeapBlock ciphertext;  // ciphertextLength bytes
    std::uint32_t ciphertextLength = 0;
    HeapBlock mac;  // macLength bytes
    std::uint32_t macLength = 0;

    Envelope() = default;
    Envelope(const Envelope&) = delete;
    Envelope& operator=(const Envelope&) = delete;
    ~Envelope() { WipeBytes(iv, sizeof(iv)); }
};

// Zeroes the IV and releases (wiping) the ciphertext and MAC blocks.
void ClearEnvelope(Envelope* envelope);

// The six fields as they go on the wire: u32 IV length, IV, u32 ciphertext
// length, ciphertext, u32 MAC length, MAC. The one serializer of envelopes:
// a writer sends the pieces one by one or gathers them into one block.
struct EnvelopeWire {
    std::uint8_t lengths[3][4] = {};
    const std::uint8_t* piece[6] = {};
    std::uint32_t pieceLength[6] = {};
    std::uint64_t total = 0;
};

// False for an envelope whose lengths do not match what it holds.
bool LayOutEnvelope(const Envelope& envelope, EnvelopeWire* wire);

// The six fields in one new block of exactly their length. False for an
// inconsistent envelope or when the block cannot be allocated.
bool EncodeEnvelope(const Envelope& envelope, HeapBlock* fields);

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
    bool Advance(std::uint32_t n);

private:
    static constexpr int kSteps = 6;
    std::uint8_t* FieldStart() const;
    std::uint32_t FieldLength() const;
    bool FieldDone();

    Envelope* envelope_;
    int step_ = 0;
    std::uint32_t filled_ = 0;
    mutable std::uint8_t length_[4] = {};  // the length field being read
};

// Reads the six fields through `readField(void* buffer, std::uint32_t length)`,
// which fills the whole buffer or fails, one call per field.
template <typename ReadField>
bool ReadEnvelopeFields(ReadField&& readField, Envelope* envelope)
{
    EnvelopeDecoder decoder(envelope);
    return ReadAllFields(&decoder, readField);
}
