#include "operation_payload.h"

#include "payloads.h"
#include "wide_key_name.h"

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
    char16_t units[kLongestKeyNameChars];
    const std::u16string_view name = WireName(key->keyName, KeyNameBytes(key) / sizeof(wchar_t), units);
    return EncodeOperationPayload({data, dataLength}, name, flags, payload);
}
