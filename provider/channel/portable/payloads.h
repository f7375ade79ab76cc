// The request payloads, one layout per request code:
//   public key (1):       the key name, UTF-16LE, no terminator
//   sign hash (2),
//   decrypt (3):          D (u32), data (D bytes), L (u32), key name (L bytes), flags (u32)
// The reply payload (public blob, signature, plaintext) is opaque bytes.
#pragma once

#include "heap_block.h"
#include "status_codes.h"
#include "wire_codec.h"

#include <cstdint>
#include <span>
#include <string_view>

// A key name as a request carries it. `fits` is false for a well-formed name
// longer than any key name: such a name names no key, and `name` is empty.
struct RequestedKey {
    WireKeyName name;
    bool fits = false;
};

// The public-key payload is the name's UTF-16LE bytes themselves (a Windows
// sender passes its wide name's bytes: wide_key_name.h). False for an odd
// byte count.
bool DecodePublicKeyPayload(std::span<const std::uint8_t> payload, RequestedKey* key);

constexpr std::uint32_t kOperationPayloadFixedLength = 12;  // D, L, flags

// The payload in a new heap block of D + L + 12 bytes, L being the name's
// bytes. NTE_INVALID_PARAMETER if that does not fit in 32 bits (checked
// before anything is allocated), NTE_INTERNAL_ERROR if the block cannot be
// allocated.
SecurityStatus EncodeOperationPayload(std::span<const std::uint8_t> data, std::u16string_view name,
                                      std::uint32_t flags, HeapBlock* payload);

struct OperationRequest {
    const std::uint8_t* data = nullptr;  // points into the decoded payload
    std::uint32_t dataLength = 0;
    RequestedKey key;
    std::uint32_t flags = 0;
};

// False unless the payload is exactly D + L + 12 bytes with an even L.
bool DecodeOperationPayload(std::span<const std::uint8_t> payload, OperationRequest* request);
