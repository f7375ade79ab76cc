// A CryptoAPI private key blob as an imported key file yields it (crypt32's
// decoder output, or a blob a user hands in). Accepted exactly when it is one
// whole blob; the BCrypt blob made of it is checked field by field against
// the input, read back independently here.
#include "fuzz_check.h"
#include "legacy_rsa_blob.h"
#include "wire_codec.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

// Big-endian `out` against little-endian `in`; the dropped top bytes of `in` must be zero.
bool Reversed(const std::uint8_t* out, std::size_t keep, const std::uint8_t* in, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t expected = in[i];
        if (i >= keep ? expected != 0 : out[keep - 1 - i] != expected) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    HeapBlock full;
    std::uint32_t bits = 0;
    if (!LegacyRsaToFullPrivateBlob(std::span<const std::uint8_t>(data, size), &full, &bits)) {
        FUZZ_CHECK(!full);
        return 0;
    }
    FUZZ_CHECK(size >= 20 && data[0] == 0x07 && data[1] == 0x02 && GetU32(data + 8) == 0x32415352);
    const std::uint32_t bitlen = GetU32(data + 12);
    const std::size_t m = (std::size_t{bitlen} + 7) / 8, h = (std::size_t{bitlen} + 15) / 16;
    FUZZ_CHECK(size == 20 + 2 * m + 5 * h && bits >= 1 && bits <= bitlen);
    const std::size_t realM = (bits + 7) / 8, realH = (bits + 15) / 16;
    const std::uint8_t* out = full.get();
    FUZZ_CHECK(full.size() >= 24 && GetU32(out) == 0x33415352 && GetU32(out + 4) == bits);
    const std::uint32_t exponentLength = GetU32(out + 8);
    FUZZ_CHECK(GetU32(out + 12) == realM && GetU32(out + 16) == realH && GetU32(out + 20) == realH);
    FUZZ_CHECK(exponentLength >= 1 && exponentLength <= 4 && out[24] != 0);
    FUZZ_CHECK(full.size() == 24 + exponentLength + 2 * realM + 5 * realH);
    const std::uint32_t exponent = GetU32(data + 16);
    std::uint32_t readBack = 0;
    for (std::uint32_t i = 0; i < exponentLength; ++i) {
        readBack = (readBack << 8) | out[24 + i];
    }
    FUZZ_CHECK(readBack == exponent);
    // The modulus's top byte is its top set bit's.
    FUZZ_CHECK(out[24 + exponentLength] != 0 && (out[24 + exponentLength] >> ((bits - 1) % 8)) == 1);
    const std::size_t lengths[7] = {m, h, h, h, h, h, m};
    const std::size_t keeps[7] = {realM, realH, realH, realH, realH, realH, realM};
    const std::uint8_t* in = data + 20;
    const std::uint8_t* at = out + 24 + exponentLength;
    for (int i = 0; i < 7; ++i) {
        FUZZ_CHECK(Reversed(at, keeps[i], in, lengths[i]));
        in += lengths[i];
        at += keeps[i];
    }
    return 0;
}
