#pragma once

#include "heap_block.h"

#include <windows.h>

#include <cstdint>

// AES-256-CBC (IV of exactly 16 bytes) with a fresh BCrypt provider and key
// object, both released (the key object wiped) before return. `iv` is not
// modified. With `pkcs7` the data is padded on encryption and the padding
// checked and removed on decryption; without it the input must be whole
// blocks.
//
// `out` receives a new process-heap block; `*outLength` the bytes produced.
// Returns the BCrypt status (negative on failure), kStatusNoMemory, or
// kStatusDataError for bad padding; the envelope turns these into the
// channel's own statuses.
LONG AesCbcTransform(bool encrypt, const BYTE* key, uint32_t keyLength, const BYTE* iv, uint32_t ivLength,
                     const BYTE* input, uint32_t inputLength, bool pkcs7, HeapBlock* out, uint32_t* outLength);
