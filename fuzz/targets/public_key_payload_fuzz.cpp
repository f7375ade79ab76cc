// The public-key request's payload: a name's UTF-16LE bytes. Even counts
// decode; a name that fits is those bytes, unit for unit.
#include "fuzz_check.h"
#include "payloads.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    RequestedKey key;
    const bool ok = DecodePublicKeyPayload(std::span<const std::uint8_t>(data, size), &key);
    FUZZ_CHECK(ok == (size % 2 == 0));
    if (!ok) {
        return 0;
    }
    FUZZ_CHECK(key.fits == (size <= kMaxKeyNameWireBytes));
    if (!key.fits) {
        FUZZ_CHECK(key.name.length == 0);
        return 0;
    }
    std::vector<std::uint8_t> again(KeyNameWireLength(key.name.length));
    PutKeyName(again.data(), key.name.view());
    FUZZ_CHECK(again.size() == size && std::equal(again.begin(), again.end(), data));
    return 0;
}
