#include "operation_payload.h"

#include "payloads.h"

uint32_t KeyNameBytes(const KeyHandle* key)
{
    if (key->keyName == nullptr) {
        return 0;
    }
    return KeyNameWireLength(static_cast<uint32_t>(BoundedWideLength(key->keyName, kLongestKeyNameChars)));
}

SECURITY_STATUS BuildOperationPayload(const KeyHandle* key, const BYTE* data, DWORD dataLength, DWORD flags,
                                      HeapBlock* payload)
{
    const uint32_t nameChars = KeyNameBytes(key) / sizeof(wchar_t);
    return EncodeOperationPayload(data, dataLength, key->keyName, nameChars, flags, payload);
}
