#pragma once

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// HMAC-SHA256 of `data` under `key` into the 32-byte `output`. A data length
// of 0 is allowed; BCrypt failures come back through MapBcryptStatus.
SECURITY_STATUS HmacSha256(const BYTE* key, uint32_t keyLength, const BYTE* data, uint32_t dataLength,
                           BYTE* output);
