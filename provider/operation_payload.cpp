#include "operation_payload.h"

#include "ksp_status.h"

#include <cstring>

namespace {

void PutU32LittleEndian(BYTE* p, uint32_t v)
{
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}

}  // namespace

uint32_t KeyNameBytes(const KeyHandle* key)
{
    if (key->keyName == nullptr) {
        return 0;
    }
    return static_cast<uint32_t>(BoundedWideLength(key->keyName, kLongestKeyNameChars) * sizeof(wchar_t));
}

SECURITY_STATUS BuildOperationPayload(const KeyHandle* key, const BYTE* data, DWORD dataLength, DWORD flags,
                                      HeapBlock* payload)
{
    const uint32_t nameBytes = KeyNameBytes(key);
    const uint64_t total = uint64_t{dataLength} + nameBytes + 12;
    if (total > 0xFFFFFFFFu) {
        return NTE_INVALID_PARAMETER;
    }
    HeapBlock block(static_cast<size_t>(total));
    if (!block) {
        return NTE_INTERNAL_ERROR;
    }
    BYTE* p = block.get();
    PutU32LittleEndian(p, dataLength);
    if (dataLength != 0) {
        std::memcpy(p + 4, data, dataLength);
    }
    PutU32LittleEndian(p + 4 + dataLength, nameBytes);
    if (nameBytes != 0) {
        std::memcpy(p + 8 + dataLength, key->keyName, nameBytes);
    }
    PutU32LittleEndian(p + 8 + dataLength + nameBytes, flags);
    *payload = static_cast<HeapBlock&&>(block);
    return ZK_SUCCESS;
}
