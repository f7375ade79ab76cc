// The service's hello as the provider reads it, one field at a time (the
// provider's own way) and as one stream: the same verdict either way, and a
// complete hello is what the service's writer makes of its nonce.
#include "fuzz_check.h"
#include "handshake.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> wire(data, size);
    ServerHelloDecoder streamed;
    bool refused = false;
    const std::uint32_t taken = FeedFields(&streamed, wire, &refused);

    // One read per field, as pipe_exchange.cpp reads them.
    ServerHelloDecoder perField;
    std::size_t at = 0;
    const bool read = ReadAllFields(&perField, [&](void* buffer, std::uint32_t length) {
        if (length > size - at) {
            return false;
        }
        std::memcpy(buffer, data + at, length);
        at += length;
        return true;
    });
    FUZZ_CHECK(read == streamed.Complete());
    if (!streamed.Complete()) {
        FUZZ_CHECK(refused || taken == size);
        return 0;
    }
    FUZZ_CHECK(!refused && at == taken);
    FUZZ_CHECK(std::equal(streamed.nonce().begin(), streamed.nonce().end(), perField.nonce().begin(),
                          perField.nonce().end()));
    std::uint8_t again[kServerHelloMaxLength];
    std::uint32_t length = 0;
    FUZZ_CHECK(EncodeServerHello(streamed.nonce(), again, &length));
    FUZZ_CHECK(length == taken && std::equal(again, again + length, data));
    return 0;
}
