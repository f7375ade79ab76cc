#include "handles.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "shared_rsa.h"
#include "status_mapping.h"

#include <cstring>

SECURITY_STATUS CreateKeyHandle(const wchar_t* keyName, KeyHandle** out)
{
    auto* key = static_cast<KeyHandle*>(HeapAllocBytes(sizeof(KeyHandle)));
    if (key == nullptr) {
        return NTE_NO_MEMORY;
    }
    std::memset(key, 0, sizeof(KeyHandle));
    key->length = kKeyHandleSize;
    key->tag = kKeyHandleTag;

    SECURITY_STATUS status = ZK_SUCCESS;
    if (keyName != nullptr) {
        const size_t chars = BoundedWideLength(keyName, kLongestKeyNameChars);
        const size_t bytes = (chars + 1) * sizeof(wchar_t);
        if (bytes > kMaxKeyNameBytes) {
            status = NTE_INVALID_PARAMETER;
        } else {
            key->keyName = static_cast<wchar_t*>(HeapAllocBytes(bytes));
            if (key->keyName == nullptr) {
                status = NTE_NO_MEMORY;
            } else {
                std::memcpy(key->keyName, keyName, bytes);
            }
        }
    }
    if (status == ZK_SUCCESS) {
        status = AcquireSharedRsaAlgorithm(&key->rsaAlgorithm);
    }
    if (status != ZK_SUCCESS) {
        DestroyKeyHandle(key);
        return status;
    }
    key->exportPolicy = 0;
    key->keyUsage = kKeyUsageDecryptAndSign;
    *out = key;
    return ZK_SUCCESS;
}

SECURITY_STATUS DestroyKeyHandle(KeyHandle* key)
{
    SECURITY_STATUS result = ZK_SUCCESS;
    if (key->keyName != nullptr) {
        const size_t bytes = (BoundedWideLength(key->keyName, kLongestKeyNameChars) + 1) * sizeof(wchar_t);
        WipeAndHeapFree(key->keyName, bytes);
        key->keyName = nullptr;
    }
    if (key->publicKey != nullptr) {
        const NTSTATUS status = BCryptDestroyKey(key->publicKey);
        if (status < 0) {
            result = MapBcryptStatus(status);
        }
        key->publicKey = nullptr;
    }
    WipeAndHeapFree(key, sizeof(KeyHandle));
    return result;
}
