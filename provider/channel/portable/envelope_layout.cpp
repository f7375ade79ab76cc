#include "envelope_layout.h"

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

bool LayOutEnvelope(const Envelope& envelope, EnvelopeWire* wire)
{
    *wire = EnvelopeWire{};
    if (envelope.ivLength > sizeof(envelope.iv) || (envelope.ciphertextLength > 0 && !envelope.ciphertext) ||
        envelope.ciphertextLength > envelope.ciphertext.size() || (envelope.macLength > 0 && !envelope.mac) ||
        envelope.macLength > envelope.mac.size()) {
        return false;
    }
    const std::uint8_t* bodies[3] = {envelope.iv, envelope.ciphertext.get(), envelope.mac.get()};
    const std::uint32_t lengths[3] = {envelope.ivLength, envelope.ciphertextLength, envelope.macLength};
    for (int i = 0; i < 3; ++i) {
        PutU32(wire->lengths[i], lengths[i]);
        wire->piece[2 * i] = wire->lengths[i];
        wire->pieceLength[2 * i] = 4;
        wire->piece[2 * i + 1] = bodies[i];
        wire->pieceLength[2 * i + 1] = lengths[i];
        wire->total += 4 + std::uint64_t{lengths[i]};
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
    std::uint8_t* at = block.get();
    for (int i = 0; i < 6; ++i) {
        if (wire.pieceLength[i] != 0) {
            std::memcpy(at, wire.piece[i], wire.pieceLength[i]);
            at += wire.pieceLength[i];
        }
    }
    *fields = static_cast<HeapBlock&&>(block);
    return true;
}

EnvelopeDecoder::EnvelopeDecoder(Envelope* envelope) : envelope_(envelope)
{
    ClearEnvelope(envelope_);
}

std::uint8_t* EnvelopeDecoder::FieldStart() const
{
    switch (step_) {
    case 1: return envelope_->iv;
    case 3: return envelope_->ciphertext.get();
    case 5: return envelope_->mac.get();
    default: return length_;
    }
}

std::uint32_t EnvelopeDecoder::FieldLength() const
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

bool EnvelopeDecoder::Advance(std::uint32_t n)
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
    const std::uint32_t n = GetU32(length_);
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
