#include "handshake.h"

#include "wiped_memory.h"

#include <cstring>

bool EncodeServerHello(std::span<const std::uint8_t> nonce, std::span<std::uint8_t, kServerHelloMaxLength> out,
                       std::uint32_t* length)
{
    *length = 0;
    if (nonce.size() < kMinServerNonceLength || nonce.size() > kMaxServerNonceLength) {
        return false;
    }
    const auto n = static_cast<std::uint32_t>(nonce.size());
    PutU32(out.data(), kServerHello);
    PutU32(out.data() + 4, n);
    std::memcpy(out.data() + 8, nonce.data(), n);
    *length = 8 + n;
    return true;
}

ServerHelloDecoder::~ServerHelloDecoder()
{
    WipeBytes(field_, sizeof(field_));
    WipeBytes(nonce_, sizeof(nonce_));
}

FieldTarget ServerHelloDecoder::Next() const
{
    switch (step_) {
    case 0:
    case 1: return FieldTarget{field_ + filled_, 4 - filled_};
    case 2: return FieldTarget{nonce_ + filled_, nonceLength_ - filled_};
    default: return {};
    }
}

bool ServerHelloDecoder::Advance(std::uint32_t n)
{
    filled_ += n;
    if (filled_ < FieldLength()) {
        return true;
    }
    filled_ = 0;
    if (step_ == 0 && GetU32(field_) != kServerHello) {
        return false;
    }
    if (step_ == 1) {
        const std::uint32_t length = GetU32(field_);
        if (length < kMinServerNonceLength || length > kMaxServerNonceLength) {
            return false;
        }
        nonceLength_ = length;
    }
    ++step_;
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

bool ClientProofDecoder::Advance(std::uint32_t n)
{
    filled_ += n;
    const std::uint32_t fieldLength = step_ == 1 ? kClientNonceLength : step_ == 3 ? kDigestLength : 4;
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
