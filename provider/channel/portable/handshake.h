// The handshake fields:
//   1-3 (service): hello (u32 1), N (u32, 1..32), server nonce (N bytes)
//   4-7 (client):  32 (u32), client nonce (32 bytes), 32 (u32), proof (32 bytes)
// The provider reads and writes each of them with one transfer of its own
// (pipe_exchange.cpp); the service sends the hello in one write and takes
// the proof as it arrives (connection.cpp).
#pragma once

#include "field_stream.h"
#include "protocol.h"

#include <cstdint>
#include <span>

constexpr std::uint32_t kServerHelloMaxLength = 8 + kMaxServerNonceLength;

// Fields 1 to 3 into `out` for one write. False, with nothing written, for a
// nonce length outside 1..32.
bool EncodeServerHello(std::span<const std::uint8_t> nonce, std::span<std::uint8_t, kServerHelloMaxLength> out,
                       std::uint32_t* length);

// Fields 1 to 3 as the provider takes them (see field_stream.h): a hello
// other than 1 or a nonce length outside 1..32 is refused as soon as its
// field is whole. Wipes what it holds when it goes.
class ServerHelloDecoder {
public:
    ServerHelloDecoder() = default;
    ServerHelloDecoder(const ServerHelloDecoder&) = delete;
    ServerHelloDecoder& operator=(const ServerHelloDecoder&) = delete;
    ~ServerHelloDecoder();

    bool Complete() const { return step_ == kSteps; }
    FieldTarget Next() const;
    bool Advance(std::uint32_t n);

    // The server nonce, once complete.
    std::span<const std::uint8_t> nonce() const { return {nonce_, nonceLength_}; }

private:
    static constexpr int kSteps = 3;
    std::uint32_t FieldLength() const { return step_ == 2 ? nonceLength_ : 4; }

    int step_ = 0;
    std::uint32_t filled_ = 0;
    std::uint32_t nonceLength_ = 0;
    mutable std::uint8_t field_[4] = {};
    mutable std::uint8_t nonce_[kMaxServerNonceLength] = {};
};

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
    bool Advance(std::uint32_t n);

    const std::uint8_t* clientNonce() const { return clientNonce_; }
    const std::uint8_t* proof() const { return proof_; }

private:
    static constexpr int kSteps = 4;

    int step_ = 0;
    std::uint32_t filled_ = 0;
    mutable std::uint8_t length_[4] = {};
    mutable std::uint8_t clientNonce_[kClientNonceLength] = {};
    mutable std::uint8_t proof_[kDigestLength] = {};
};
