// The sign and decrypt payload as the service decodes it: exactly
// D + L + 12 bytes, an even L. A name that fits must encode back to the
// same bytes; a longer one names no key.
#include "fuzz_check.h"
#include "payloads.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    OperationRequest op;
    if (!DecodeOperationPayload(std::span<const std::uint8_t>(data, size), &op)) {
        return 0;
    }
    FUZZ_CHECK(size >= kOperationPayloadFixedLength && op.dataLength == GetU32(data) && op.data == data + 4);
    const std::size_t nameBytes = size - kOperationPayloadFixedLength - op.dataLength;
    FUZZ_CHECK(nameBytes % 2 == 0 && GetU32(data + 4 + op.dataLength) == nameBytes);
    FUZZ_CHECK(op.flags == GetU32(data + size - 4));
    if (!op.key.fits) {
        FUZZ_CHECK(nameBytes > kMaxKeyNameWireBytes && op.key.name.length == 0);
        return 0;
    }
    FUZZ_CHECK(KeyNameWireLength(op.key.name.length) == nameBytes);
    HeapBlock again;
    FUZZ_CHECK(EncodeOperationPayload({op.data, op.dataLength}, op.key.name.view(), op.flags, &again) == ZK_SUCCESS);
    FUZZ_CHECK(again.size() == size && std::equal(data, data + size, again.get()));
    return 0;
}
