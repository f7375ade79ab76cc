// RSA without padding, computed here: m = c^d mod n. Only for platforms whose
// BCrypt has no raw RSA decryption (Wine); BCrypt is asked first.
#pragma once

#include "heap_block.h"

#include <windows.h>

// `fullPrivateBlob` is an "RSAFULLPRIVATEBLOB". The output is as long as the
// modulus, big-endian, leading zeros kept. False if the input is not a
// number below the modulus or the blob is malformed.
bool RawRsaPrivate(const BYTE* fullPrivateBlob, size_t blobLength, const BYTE* input, size_t inputLength,
                   HeapBlock* output);
