#include "handshake.h"

#include <cstring>

bool EncodeServerHello(const BYTE* nonce, uint32_t nonceLength, BYTE* out, uint32_t* length)
{
    *length = 0;
    if (nonceLength < kMinServerNonceLength || nonceLength > kMaxServerNonceLength) {
        return false;
    }
    PutU32(out, kServerHello);
    PutU32(out + 4, nonceLength);
    std::memcpy(out + 8, nonce, nonceLength);
    *length = 8 + nonceLength;
    return true;
}

ClientProofDecoder::~ClientProofDecoder()
{
    WipeBytes(length_, sizeof(length_));
    WipeBytes(clientNonce_, sizeof(clientNonce_));
    WipeBytes(proof_, sizeof(proof_));
}

FieldTarget ClientProofDecoder::Next() const
{
    switch (step_) {
    case 0:
    case 2: return FieldTarget{length_ + filled_, 4 - filled_};
    case 1: return FieldTarget{clientNonce_ + filled_, kClientNonceLength - filled_};
    case 3: return FieldTarget{proof_ + filled_, kDigestLength - filled_};
    default: return {};
    }
}

bool ClientProofDecoder::Advance(uint32_t n)
{
    filled_ += n;
    const uint32_t fieldLength = step_ == 1 ? kClientNonceLength : step_ == 3 ? kDigestLength : 4;
    if (filled_ < fieldLength) {
        return true;
    }
    filled_ = 0;
    if (step_ == 0 && GetU32(length_) != kClientNonceLength) {
        return false;
    }
    if (step_ == 2 && GetU32(length_) != kDigestLength) {
        return false;
    }
    ++step_;
    return true;
}
