#include "envelope.h"

#include "aes_cbc.h"
#include "hmac_sha256.h"
#include "ksp_status.h"
#include "timed_pipe_io.h"

#include <bcrypt.h>

#include <cstring>

void ClearEnvelope(Envelope* envelope)
{
    WipeBytes(envelope->iv, sizeof(envelope->iv));
    envelope->ivLength = 0;
    envelope->ciphertext.Reset();
    envelope->ciphertextLength = 0;
    envelope->mac.Reset();
    envelope->macLength = 0;
}

SECURITY_STATUS SealEnvelope(const SessionKeys& keys, const BYTE* plaintext, uint32_t plaintextLength,
                             Envelope* envelope)
{
    ClearEnvelope(envelope);
    // Envelopes report the channel's own statuses, never a mapped BCrypt one.
    if (BCryptGenRandom(nullptr, envelope->iv, kIvLength, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return NTE_INTERNAL_ERROR;
    }
    envelope->ivLength = kIvLength;
    uint32_t produced = 0;
    const LONG st = AesCbcTransform(true, keys.encryptionKey, kSessionKeyLength, envelope->iv, kIvLength, plaintext,
                                    plaintextLength, true, &envelope->ciphertext, &produced);
    if (st < 0) {
        ClearEnvelope(envelope);
        return st == kStatusNoMemory ? NTE_NO_MEMORY : NTE_INTERNAL_ERROR;
    }
    envelope->ciphertextLength = produced;
    envelope->mac = HeapBlock(kDigestLength);
    if (!envelope->mac) {
        ClearEnvelope(envelope);
        return NTE_NO_MEMORY;
    }
    envelope->macLength = kDigestLength;
    if (HmacSha256(keys.macKey, kSessionKeyLength, envelope->ciphertext.get(), produced, envelope->mac.get()) != 0) {
        ClearEnvelope(envelope);
        return NTE_INTERNAL_ERROR;
    }
    return 0;
}

SECURITY_STATUS OpenEnvelope(const SessionKeys& keys, const Envelope& envelope, HeapBlock* plaintext,
                             uint32_t* plaintextLength)
{
    plaintext->Reset();
    *plaintextLength = 0;
    if (!envelope.ciphertext || !envelope.mac) {
        return NTE_INTERNAL_ERROR;
    }
    BYTE computed[kDigestLength];
    SECURITY_STATUS status =
        HmacSha256(keys.macKey, kSessionKeyLength, envelope.ciphertext.get(), envelope.ciphertextLength, computed);
    if (status == 0 && (envelope.macLength != kDigestLength ||
                        !ConstantTimeEqual(computed, envelope.mac.get(), kDigestLength))) {
        status = NTE_INTERNAL_ERROR;
    }
    WipeBytes(computed, sizeof(computed));
    if (status != 0) {
        return NTE_INTERNAL_ERROR;
    }
    const LONG st = AesCbcTransform(false, keys.encryptionKey, kSessionKeyLength, envelope.iv, envelope.ivLength,
                                    envelope.ciphertext.get(), envelope.ciphertextLength, true, plaintext,
                                    plaintextLength);
    // The channel's own statuses, as in SealEnvelope.
    if (st < 0) {
        return st == kStatusNoMemory ? NTE_NO_MEMORY : NTE_INTERNAL_ERROR;
    }
    return 0;
}

bool WriteU32(HANDLE pipe, uint32_t value, HANDLE event)
{
    BYTE field[4];
    PutU32(field, value);
    return TimedPipeWrite(pipe, field, sizeof(field), nullptr, event);
}

bool ReadU32(HANDLE pipe, uint32_t* value, HANDLE event)
{
    BYTE field[4] = {};
    if (!TimedPipeRead(pipe, field, sizeof(field), nullptr, event)) {
        return false;
    }
    *value = GetU32(field);
    return true;
}

bool LayOutEnvelope(const Envelope& envelope, EnvelopeWire* wire)
{
    *wire = EnvelopeWire{};
    if (envelope.ivLength > sizeof(envelope.iv) || (envelope.ciphertextLength > 0 && !envelope.ciphertext) ||
        envelope.ciphertextLength > envelope.ciphertext.size() || (envelope.macLength > 0 && !envelope.mac) ||
        envelope.macLength > envelope.mac.size()) {
        return false;
    }
    const BYTE* bodies[3] = {envelope.iv, envelope.ciphertext.get(), envelope.mac.get()};
    const uint32_t lengths[3] = {envelope.ivLength, envelope.ciphertextLength, envelope.macLength};
    for (int i = 0; i < 3; ++i) {
        PutU32(wire->lengths[i], lengths[i]);
        wire->piece[2 * i] = wire->lengths[i];
        wire->pieceLength[2 * i] = 4;
        wire->piece[2 * i + 1] = bodies[i];
        wire->pieceLength[2 * i + 1] = lengths[i];
        wire->total += 4 + uint64_t{lengths[i]};
    }
    return true;
}

bool EncodeEnvelope(const Envelope& envelope, HeapBlock* fields)
{
    fields->Reset();
    EnvelopeWire wire;
    if (!LayOutEnvelope(envelope, &wire) || wire.total > 0xFFFFFFFFull) {
        return false;
    }
    HeapBlock block(static_cast<size_t>(wire.total));
    if (!block) {
        return false;
    }
    BYTE* at = block.get();
    for (int i = 0; i < 6; ++i) {
        if (wire.pieceLength[i] != 0) {
            std::memcpy(at, wire.piece[i], wire.pieceLength[i]);
            at += wire.pieceLength[i];
        }
    }
    *fields = static_cast<HeapBlock&&>(block);
    return true;
}

bool WriteEnvelope(HANDLE pipe, const Envelope& envelope, HANDLE event)
{
    EnvelopeWire wire;
    if (!LayOutEnvelope(envelope, &wire)) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        if (!TimedPipeWrite(pipe, wire.piece[i], wire.pieceLength[i], nullptr, event)) {
            return false;
        }
    }
    return true;
}

EnvelopeDecoder::EnvelopeDecoder(Envelope* envelope) : envelope_(envelope)
{
    ClearEnvelope(envelope_);
}

BYTE* EnvelopeDecoder::FieldStart() const
{
    switch (step_) {
    case 1: return envelope_->iv;
    case 3: return envelope_->ciphertext.get();
    case 5: return envelope_->mac.get();
    default: return length_;
    }
}

uint32_t EnvelopeDecoder::FieldLength() const
{
    switch (step_) {
    case 1: return envelope_->ivLength;
    case 3: return envelope_->ciphertextLength;
    case 5: return envelope_->macLength;
    case kSteps: return 0;
    default: return sizeof(length_);
    }
}

FieldTarget EnvelopeDecoder::Next() const
{
    if (Complete()) {
        return {};
    }
    return FieldTarget{FieldStart() + filled_, FieldLength() - filled_};
}

bool EnvelopeDecoder::Advance(uint32_t n)
{
    filled_ += n;
    if (filled_ < FieldLength()) {
        return true;
    }
    filled_ = 0;
    return FieldDone();
}

// A length field is checked, and its body's block made, as soon as it is whole.
bool EnvelopeDecoder::FieldDone()
{
    const uint32_t n = GetU32(length_);
    switch (step_) {
    case 0:
        if (n == 0 || n > kMaxEnvelopeIvLength) {
            return false;
        }
        envelope_->ivLength = n;
        break;
    case 2:
        if (n == 0 || n > kMaxEnvelopeCiphertextLength) {
            return false;
        }
        envelope_->ciphertext = HeapBlock(n);
        if (!envelope_->ciphertext) {
            return false;
        }
        envelope_->ciphertextLength = n;
        break;
    case 4:
        if (n == 0 || n > kMaxEnvelopeMacLength) {
            return false;
        }
        envelope_->mac = HeapBlock(n);
        if (!envelope_->mac) {
            return false;
        }
        envelope_->macLength = n;
        break;
    default:
        break;
    }
    ++step_;
    return true;
}

bool ReadEnvelope(HANDLE pipe, Envelope* envelope, HANDLE event)
{
    return ReadEnvelopeFields(
        [pipe, event](void* buffer, uint32_t length) { return TimedPipeRead(pipe, buffer, length, nullptr, event); },
        envelope);
}
