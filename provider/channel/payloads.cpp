#include "payloads.h"

#include "ksp_status.h"

#include <cstring>

namespace {

bool DecodeName(const BYTE* bytes, uint32_t length, RequestedKey* key)
{
    key->fits = false;
    key->name.length = 0;
    if (length % sizeof(wchar_t) != 0) {
        return false;
    }
    // Well formed but too long for a key name: it names no key.
    key->fits = GetKeyName(bytes, length, &key->name);
    return true;
}

}  // namespace

bool DecodePublicKeyPayload(const BYTE* payload, uint32_t length, RequestedKey* key)
{
    return DecodeName(payload, length, key);
}

SECURITY_STATUS EncodeOperationPayload(const BYTE* data, uint32_t dataLength, const wchar_t* name,
                                       uint32_t nameChars, uint32_t flags, HeapBlock* payload)
{
    const uint32_t nameBytes = KeyNameWireLength(nameChars);
    const uint64_t total = uint64_t{dataLength} + nameBytes + kOperationPayloadFixedLength;
    if (total > 0xFFFFFFFFu) {
        return NTE_INVALID_PARAMETER;
    }
    HeapBlock block(static_cast<size_t>(total));
    if (!block) {
        return NTE_INTERNAL_ERROR;
    }
    BYTE* p = block.get();
    PutU32(p, dataLength);
    if (dataLength != 0) {
        std::memcpy(p + 4, data, dataLength);
    }
    PutU32(p + 4 + dataLength, nameBytes);
    PutKeyName(p + 8 + dataLength, name, nameChars);
    PutU32(p + 8 + dataLength + nameBytes, flags);
    *payload = static_cast<HeapBlock&&>(block);
    return ZK_SUCCESS;
}

bool DecodeOperationPayload(const BYTE* payload, uint32_t length, OperationRequest* request)
{
    *request = OperationRequest{};
    if (length < kOperationPayloadFixedLength) {
        return false;
    }
    const uint32_t d = GetU32(payload);
    if (d > length - kOperationPayloadFixedLength) {
        return false;
    }
    const uint32_t l = GetU32(payload + 4 + d);
    if (l != length - kOperationPayloadFixedLength - d || !DecodeName(payload + 8 + d, l, &request->key)) {
        return false;
    }
    request->data = payload + 4;
    request->dataLength = d;
    request->flags = GetU32(payload + 8 + d + l);
    return true;
}
