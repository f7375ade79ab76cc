// The handshake fields, as the service sends and takes them:
//   1-3 (service): hello (u32 1), N (u32, 1..32), server nonce (N bytes)
//   4-7 (client):  32 (u32), client nonce (32 bytes), 32 (u32), proof (32 bytes)
// The provider reads and writes each of them with one transfer of its own
// (pipe_exchange.cpp).
#pragma once

#include "field_stream.h"
#include "heap_block.h"
#include "protocol.h"

#include <windows.h>

#include <cstdint>

constexpr uint32_t kServerHelloMaxLength = 8 + kMaxServerNonceLength;

// Fields 1 to 3 into `out` (kServerHelloMaxLength bytes) for one write.
// False, with nothing written, for a nonce length outside 1..32.
bool EncodeServerHello(const BYTE* nonce, uint32_t nonceLength, BYTE* out, uint32_t* length);

// Fields 4 to 7 (see field_stream.h): a length field other than 32 is
// refused as soon as it is whole. Wipes what it holds when it goes.
class ClientProofDecoder {
public:
    ClientProofDecoder() = default;
    ClientProofDecoder(const ClientProofDecoder&) = delete;
    ClientProofDecoder& operator=(const ClientProofDecoder&) = delete;
    ~ClientProofDecoder();

    bool Complete() const { return step_ == kSteps; }
    FieldTarget Next() const;
    bool Advance(uint32_t n);

    const BYTE* clientNonce() const { return clientNonce_; }
    const BYTE* proof() const { return proof_; }

private:
    static constexpr int kSteps = 4;

    int step_ = 0;
    uint32_t filled_ = 0;
    mutable BYTE length_[4] = {};
    mutable BYTE clientNonce_[kClientNonceLength] = {};
    mutable BYTE proof_[kDigestLength] = {};
};
