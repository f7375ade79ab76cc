#include "channel/pipe_exchange.h"
#include "entry_points.h"
#include "handles.h"
#include "heap_block.h"
#include "ksp_status.h"
#include "operation_payload.h"
#include "payloads.h"
#include "protocol.h"
#include "wide_key_name.h"
#include "status_mapping.h"

#include <cstring>

namespace {

constexpr uint32_t kRsaKeyBlobHeaderSize = 24;  // BCRYPT_RSAKEY_BLOB
constexpr size_t kBitLengthOffset = 4;

// Fetches the key's public blob from the signing service and imports it into
// the new handle. The reply is wiped and freed on every path.
SECURITY_STATUS LoadPublicKey(KeyHandle* key)
{
    HeapBlock blob;
    const SECURITY_STATUS exchange =
        PipeExchange(kRequestPublicKey, PublicKeyPayload(key->keyName), KeyNameBytes(key), &blob);
    if (exchange != ZK_SUCCESS) {
        return NTE_BAD_KEYSET;  // the service could not be reached or refused: the key set is unusable
    }
    const auto replyLength = static_cast<ULONG>(blob.size());
    if (!blob || replyLength < kRsaKeyBlobHeaderSize) {
        return NTE_BAD_KEY;
    }
    const NTSTATUS status = BCryptImportKeyPair(key->rsaAlgorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key->publicKey,
                                                blob.get(), replyLength, 0);
    if (status < 0) {
        key->publicKey = nullptr;
        return MapBcryptStatus(status);
    }
    uint32_t bitLength = 0;
    std::memcpy(&bitLength, blob.get() + kBitLengthOffset, sizeof bitLength);
    key->keyLengthBits = bitLength;
    key->publicKeyLoaded = 1;
    return ZK_SUCCESS;
}

}  // namespace

SECURITY_STATUS WINAPI OpenKey(NCRYPT_PROV_HANDLE /*hProvider*/, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                               DWORD /*dwLegacyKeySpec*/, DWORD /*dwFlags*/)
{
    if (phKey == nullptr || pszKeyName == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    KeyHandle* created = nullptr;
    const SECURITY_STATUS status = CreateKeyHandle(pszKeyName, &created);
    if (status != ZK_SUCCESS) {
        return status;
    }
    // Destroyed unless handed out; its own status would hide the real failure.
    UniqueKeyHandle key(created);
    const SECURITY_STATUS loaded = LoadPublicKey(key.get());
    if (loaded != ZK_SUCCESS) {
        return loaded;
    }
    *phKey = reinterpret_cast<NCRYPT_KEY_HANDLE>(key.Release());
    return ZK_SUCCESS;
}
