#include "payloads.h"

#include <cstring>

namespace {

bool DecodeName(std::span<const std::uint8_t> bytes, RequestedKey* key)
{
    key->fits = false;
    key->name.length = 0;
    if (bytes.size() % 2 != 0) {
        return false;
    }
    // Well formed but too long for a key name: it names no key.
    key->fits = GetKeyName(bytes, &key->name);
    return true;
}

}  // namespace

bool DecodePublicKeyPayload(std::span<const std::uint8_t> payload, RequestedKey* key)
{
    return DecodeName(payload, key);
}

SecurityStatus EncodeOperationPayload(std::span<const std::uint8_t> data, std::u16string_view name,
                                      std::uint32_t flags, HeapBlock* payload)
{
    const std::uint64_t nameBytes = std::uint64_t{name.size()} * 2;
    const std::uint64_t total = std::uint64_t{data.size()} + nameBytes + kOperationPayloadFixedLength;
    if (total > 0xFFFFFFFFu) {
        return NTE_INVALID_PARAMETER;
    }
    HeapBlock block(static_cast<std::size_t>(total));
    if (!block) {
        return NTE_INTERNAL_ERROR;
    }
    const auto dataLength = static_cast<std::uint32_t>(data.size());
    std::uint8_t* p = block.get();
    PutU32(p, dataLength);
    if (dataLength != 0) {
        std::memcpy(p + 4, data.data(), dataLength);
    }
    PutU32(p + 4 + dataLength, static_cast<std::uint32_t>(nameBytes));
    PutKeyName(p + 8 + dataLength, name);
    PutU32(p + 8 + dataLength + nameBytes, flags);
    *payload = static_cast<HeapBlock&&>(block);
    return ZK_SUCCESS;
}

bool DecodeOperationPayload(std::span<const std::uint8_t> payload, OperationRequest* request)
{
    *request = OperationRequest{};
    const std::size_t length = payload.size();
    if (length < kOperationPayloadFixedLength) {
        return false;
    }
    const std::uint32_t d = GetU32(payload.data());
    if (d > length - kOperationPayloadFixedLength) {
        return false;
    }
    const std::uint32_t l = GetU32(payload.data() + 4 + d);
    if (l != length - kOperationPayloadFixedLength - d || !DecodeName(payload.subspan(8 + std::size_t{d}, l), &request->key)) {
        return false;
    }
    request->data = payload.data() + 4;
    request->dataLength = d;
    request->flags = GetU32(payload.data() + 8 + std::size_t{d} + l);
    return true;
}
