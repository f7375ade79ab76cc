// The payload of the sign and decrypt requests for a key handle; the layout
// is the wire library's (payloads.h).
#pragma once

#include "handles.h"
#include "heap_block.h"

#include <cstdint>

// Builds the payload for `key` in a new process-heap block. NTE_INVALID_PARAMETER
// if D + L + 12 does not fit in 32 bits (checked before anything is allocated),
// NTE_INTERNAL_ERROR if the block cannot be allocated.
SECURITY_STATUS BuildOperationPayload(const KeyHandle* key, const BYTE* data, DWORD dataLength, DWORD flags,
                                      HeapBlock* payload);

// Where the data starts in a built payload.
constexpr size_t kOperationPayloadDataOffset = 4;

// Bytes of the key handle's name without its terminator; 0 without a name.
uint32_t KeyNameBytes(const KeyHandle* key);
