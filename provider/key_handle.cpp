// Key handles: made by OpenKey, destroyed by FreeKey (and by OpenKey when it
// fails after making one).
#include "handles.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "shared_rsa.h"
#include "status_mapping.h"

#include <cstring>

SECURITY_STATUS CreateKeyHandle(const wchar_t* keyName, KeyHandle** out)
{
    auto* record = static_cast<KeyHandle*>(HeapAllocBytes(sizeof(KeyHandle)));
    if (record == nullptr) {
        return NTE_NO_MEMORY;
    }
    std::memset(record, 0, sizeof(KeyHandle));
    record->length = kKeyHandleSize;
    record->tag = kKeyHandleTag;
    // From here on the record is destroyed on every path that fails.
    UniqueKeyHandle key(record);

    if (keyName != nullptr) {
        const size_t chars = BoundedWideLength(keyName, kLongestKeyNameChars);
        const size_t bytes = (chars + 1) * sizeof(wchar_t);
        if (bytes > kMaxKeyNameBytes) {
            return NTE_INVALID_PARAMETER;
        }
        record->keyName = static_cast<wchar_t*>(HeapAllocBytes(bytes));
        if (record->keyName == nullptr) {
            return NTE_NO_MEMORY;
        }
        std::memcpy(record->keyName, keyName, bytes);
    }
    const SECURITY_STATUS status = AcquireSharedRsaAlgorithm(&record->rsaAlgorithm);
    if (status != ZK_SUCCESS) {
        return status;
    }
    record->exportPolicy = 0;
    record->keyUsage = kKeyUsageDecryptAndSign;
    *out = key.Release();
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
        // Destroyed by hand, not by a holder: its failure is FreeKey's status.
        const NTSTATUS status = BCryptDestroyKey(key->publicKey);
        if (status < 0) {
            result = MapBcryptStatus(status);
        }
        key->publicKey = nullptr;
    }
    WipeAndHeapFree(key, sizeof(KeyHandle));
    return result;
}
