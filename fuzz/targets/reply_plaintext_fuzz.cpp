// A reply plaintext as the provider finds it in an opened envelope: the
// header and at least m bytes, the tail ignored. What is accepted must be
// what the service's writer makes of the status word and payload, followed
// by the tail.
#include "fuzz_check.h"
#include "plaintexts.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    PlaintextView view;
    const bool ok = DecodeReply(std::span<const std::uint8_t>(data, size), &view);
    const bool expected = size >= kPlaintextHeaderLength && GetU32(data + 4) <= size - kPlaintextHeaderLength;
    FUZZ_CHECK(ok == expected);
    if (!ok) {
        return 0;
    }
    FUZZ_CHECK(view.word == GetU32(data) && view.body == data + kPlaintextHeaderLength);
    HeapBlock again;
    FUZZ_CHECK(EncodeReply(view.word, view.payload(), &again));
    FUZZ_CHECK(again.size() == kPlaintextHeaderLength + view.length && std::equal(again.get(), again.get() + again.size(), data));
    return 0;
}
