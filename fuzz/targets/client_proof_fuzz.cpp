// Fields 4 to 7 as the service takes them from a client it does not trust
// yet, in pieces chosen by the first byte. Checked against the layout
// stated independently here: 32 (u32), 32 bytes, 32 (u32), 32 bytes.
#include "fuzz_check.h"
#include "handshake.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace {

bool LengthFieldIs32(const std::uint8_t* p, std::size_t available)
{
    const std::uint8_t expected[4] = {32, 0, 0, 0};
    return available >= 4 && std::equal(p, p + 4, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const std::span<const std::uint8_t> wire(data + 1, size - 1);
    ClientProofDecoder proof;
    bool refused = false;
    std::size_t taken = 0;
    while (taken < wire.size() && !refused && !proof.Complete()) {
        taken += FeedFields(&proof, wire.subspan(taken, std::min(piece, wire.size() - taken)), &refused);
    }

    const std::uint8_t* p = wire.data();
    const std::size_t n = wire.size();
    const bool firstOk = LengthFieldIs32(p, n);
    const bool secondOk = firstOk && LengthFieldIs32(p + 36, n >= 36 ? n - 36 : 0);
    const bool whole = secondOk && n >= 72;
    FUZZ_CHECK(proof.Complete() == whole);
    // Refused exactly when a length field is whole and wrong.
    FUZZ_CHECK(refused == ((n >= 4 && !firstOk) || (firstOk && n >= 40 && !secondOk)));
    if (whole) {
        FUZZ_CHECK(taken == 72);
        FUZZ_CHECK(std::equal(p + 4, p + 36, proof.clientNonce()) && std::equal(p + 40, p + 72, proof.proof()));
    }
    return 0;
}
