#include "envelope.h"

#include "aes_cbc.h"
#include "hmac_sha256.h"
#include "ksp_status.h"
#include "timed_pipe_io.h"

#include <bcrypt.h>

#include <cstring>

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

bool ReadEnvelope(HANDLE pipe, Envelope* envelope, HANDLE event)
{
    return ReadEnvelopeFields(
        [pipe, event](void* buffer, uint32_t length) { return TimedPipeRead(pipe, buffer, length, nullptr, event); },
        envelope);
}
