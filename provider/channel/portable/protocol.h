// Wire constants of the pipe protocol between the provider and the signing
// service. Both ends include this header; nothing here is provider-only.
#pragma once

#include "wire_codec.h"

#include <cstdint>

// Pipe name, narrow for the client's CreateFileA and wide for a server.
constexpr char kPipeName[] = "\\\\.\\pipe\\ZentravaPipe";
constexpr wchar_t kPipeNameW[] = L"\\\\.\\pipe\\ZentravaPipe";

constexpr std::uint32_t kServerHello = 1;
constexpr std::uint32_t kMinServerNonceLength = 1;
constexpr std::uint32_t kMaxServerNonceLength = 32;
constexpr std::uint32_t kClientNonceLength = 32;

constexpr std::uint32_t kPipeSecretLength = 32;
constexpr std::uint32_t kSessionKeyLength = 32;
constexpr std::uint32_t kDigestLength = 32;  // SHA-256, also the proof length
constexpr std::uint32_t kIvLength = 16;
constexpr std::uint32_t kAesBlockLength = 16;

// Labels appended to server nonce || client nonce when deriving the keys.
constexpr std::uint8_t kMacKeyLabel = 0x01;
constexpr std::uint8_t kEncryptionKeyLabel = 0x02;

// Bounds a reader accepts for the fields of an envelope. Only an IV of 16
// bytes and a MAC of 32 bytes can then pass decryption and verification.
constexpr std::uint32_t kMaxEnvelopeIvLength = 16;
constexpr std::uint32_t kMaxEnvelopeCiphertextLength = 0x100000;  // 1,048,576
constexpr std::uint32_t kMaxEnvelopeMacLength = 128;

// Request plaintext: code (u32), payload length (u32), payload.
// Reply plaintext: status word (u32), payload length (u32), payload, ignored tail.
constexpr std::uint32_t kPlaintextHeaderLength = 8;

// Request codes; the payload layouts are in payloads.h.
constexpr std::uint32_t kRequestPublicKey = 1;  // payload: key name, UTF-16LE, no NUL
constexpr std::uint32_t kRequestSignHash = 2;   // payload: operation payload
constexpr std::uint32_t kRequestDecrypt = 3;    // payload: operation payload

// Reply status words (the u32 at the head of every reply plaintext). The
// provider takes every word but kReplyOk as a failure; the others say why,
// for the service's log and for peers.
constexpr std::uint32_t kReplyOk = 0;
constexpr std::uint32_t kReplyUnknownKey = 1;       // no key of that name in the store
constexpr std::uint32_t kReplyBadRequest = 2;       // malformed payload, unknown code, bad flags or hash length
constexpr std::uint32_t kReplyOperationFailed = 3;  // the key file is damaged or the platform refused the operation

// Every single pipe read or write ends within this time.
constexpr std::uint32_t kPipeIoTimeoutMs = 5000;

// Ciphertext length of a plaintext under AES-CBC with PKCS#7 padding.
constexpr std::uint64_t PaddedLength(std::uint64_t plaintextLength)
{
    return kAesBlockLength * (plaintextLength / kAesBlockLength + 1);
}
