#include "session_keys.h"

#include "heap_block.h"
#include "hmac_sha256.h"
#include "ksp_status.h"

#include <cstring>

void WipeSessionKeys(SessionKeys* keys)
{
    WipeBytes(keys, sizeof(*keys));
}

SECURITY_STATUS DeriveSessionKeys(const BYTE* secret, uint32_t secretLength, const BYTE* serverNonce,
                                  uint32_t serverNonceLength, const BYTE* clientNonce, uint32_t clientNonceLength,
                                  SessionKeys* keys)
{
    WipeSessionKeys(keys);
    const uint64_t joined = static_cast<uint64_t>(serverNonceLength) + clientNonceLength;
    if (joined + 1 > 0xFFFFFFFFull) {
        return NTE_INVALID_PARAMETER;
    }
    // The unlabelled concatenation is built too, as its own block, so the
    // labelled copy is always derived from one checked source.
    HeapBlock nonces(static_cast<size_t>(joined));
    HeapBlock labelled(static_cast<size_t>(joined + 1));
    if (!nonces || !labelled) {
        return NTE_NO_MEMORY;
    }
    std::memcpy(nonces.get(), serverNonce, serverNonceLength);
    std::memcpy(nonces.get() + serverNonceLength, clientNonce, clientNonceLength);
    std::memcpy(labelled.get(), nonces.get(), static_cast<size_t>(joined));

    BYTE* label = labelled.get() + joined;
    const auto dataLength = static_cast<uint32_t>(joined + 1);
    *label = kMacKeyLabel;
    SECURITY_STATUS status = HmacSha256(secret, secretLength, labelled.get(), dataLength, keys->macKey);
    if (status == 0) {
        *label = kEncryptionKeyLabel;
        status = HmacSha256(secret, secretLength, labelled.get(), dataLength, keys->encryptionKey);
    }
    if (status != 0) {
        WipeSessionKeys(keys);
    }
    return status;
}

bool ConstantTimeEqual(const BYTE* a, const BYTE* b, size_t length)
{
    volatile BYTE diff = 0;
    for (size_t i = 0; i < length; ++i) {
        diff = static_cast<BYTE>(diff | (a[i] ^ b[i]));
    }
    return diff == 0;
}
