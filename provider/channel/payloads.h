// The request payloads, one layout per request code:
//   public key (1):       the key name, UTF-16LE, no terminator
//   sign hash (2),
//   decrypt (3):          D (u32), data (D bytes), L (u32), key name (L bytes), flags (u32)
// The reply payload (public blob, signature, plaintext) is opaque bytes.
#pragma once

#include "heap_block.h"
#include "wire_codec.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// The public-key payload is the name's bytes themselves: a sender passes
// PublicKeyPayload(name) and KeyNameWireLength(chars) without a copy.
inline const BYTE* PublicKeyPayload(const wchar_t* name)
{
    return reinterpret_cast<const BYTE*>(name);
}

// A key name as a request carries it. `fits` is false for a well-formed name
// longer than any key name: such a name names no key, and `name` is empty.
struct RequestedKey {
    WireKeyName name;
    bool fits = false;
};

// False for an odd byte count.
bool DecodePublicKeyPayload(const BYTE* payload, uint32_t length, RequestedKey* key);

constexpr uint32_t kOperationPayloadFixedLength = 12;  // D, L, flags

// The payload in a new process-heap block of D + L + 12 bytes, L being the
// name's bytes. NTE_INVALID_PARAMETER if that does not fit in 32 bits
// (checked before anything is allocated), NTE_INTERNAL_ERROR if the block
// cannot be allocated.
SECURITY_STATUS EncodeOperationPayload(const BYTE* data, uint32_t dataLength, const wchar_t* name,
                                       uint32_t nameChars, uint32_t flags, HeapBlock* payload);

struct OperationRequest {
    const BYTE* data = nullptr;  // points into the decoded payload
    uint32_t dataLength = 0;
    RequestedKey key;
    uint32_t flags = 0;
};

// False unless the payload is exactly D + L + 12 bytes with an even L.
bool DecodeOperationPayload(const BYTE* payload, uint32_t length, OperationRequest* request);
