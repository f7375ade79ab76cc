#pragma once

#include "protocol.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstdint>

// The two per-exchange keys. WipeSessionKeys() before the record goes away.
struct SessionKeys {
    BYTE macKey[kSessionKeyLength];
    BYTE encryptionKey[kSessionKeyLength];
};

void WipeSessionKeys(SessionKeys* keys);

// MAC key = HMAC(secret, serverNonce || clientNonce || 0x01),
// encryption key = HMAC(secret, serverNonce || clientNonce || 0x02).
// Returns NTE_NO_MEMORY if the input blocks cannot be allocated, otherwise
// the status of HmacSha256. On failure `keys` holds zeros.
SECURITY_STATUS DeriveSessionKeys(const BYTE* secret, uint32_t secretLength, const BYTE* serverNonce,
                                  uint32_t serverNonceLength, const BYTE* clientNonce, uint32_t clientNonceLength,
                                  SessionKeys* keys);

// Equality of two byte strings in time that depends only on the length.
bool ConstantTimeEqual(const BYTE* a, const BYTE* b, size_t length);
