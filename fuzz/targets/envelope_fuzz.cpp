// An envelope as a peer sends it, fed to the incremental reader. The first
// byte chooses how the rest arrives (whole, or in pieces of 1 to 255 bytes):
// the reader must take the same bytes and come to the same verdict whatever
// the cut, and a complete envelope must serialize back to exactly the bytes
// it was read from.
#include "envelope_layout.h"
#include "fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace {

struct Outcome {
    std::uint32_t taken = 0;
    bool refused = false;
    bool complete = false;
};

Outcome Feed(std::span<const std::uint8_t> bytes, std::size_t piece, Envelope* envelope)
{
    EnvelopeDecoder decoder(envelope);
    Outcome o;
    while (o.taken < bytes.size() && !o.refused && !decoder.Complete()) {
        const std::size_t n = std::min(piece, bytes.size() - o.taken);
        const std::uint32_t took = FeedFields(&decoder, bytes.subspan(o.taken, n), &o.refused);
        FUZZ_CHECK(took <= n && (took == n || o.refused || decoder.Complete()));
        o.taken += took;
    }
    o.complete = decoder.Complete();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = data[0] == 0 ? size : data[0];
    const std::span<const std::uint8_t> wire(data + 1, size - 1);

    Envelope whole;
    const Outcome once = Feed(wire, wire.size() + 1, &whole);
    Envelope cut;
    const Outcome pieces = Feed(wire, piece, &cut);
    FUZZ_CHECK(once.taken == pieces.taken && once.refused == pieces.refused && once.complete == pieces.complete);
    if (!once.complete) {
        return 0;
    }
    FUZZ_CHECK(!once.refused);
    FUZZ_CHECK(whole.ivLength >= 1 && whole.ivLength <= kMaxEnvelopeIvLength);
    FUZZ_CHECK(whole.ciphertextLength >= 1 && whole.ciphertextLength <= kMaxEnvelopeCiphertextLength);
    FUZZ_CHECK(whole.macLength >= 1 && whole.macLength <= kMaxEnvelopeMacLength);
    for (const Envelope* e : {&whole, &cut}) {
        HeapBlock encoded;
        FUZZ_CHECK(EncodeEnvelope(*e, &encoded));
        FUZZ_CHECK(encoded.size() == once.taken && std::equal(wire.begin(), wire.begin() + once.taken, encoded.get()));
    }
    return 0;
}
