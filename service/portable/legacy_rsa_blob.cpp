#include "legacy_rsa_blob.h"

#include "wire_codec.h"  // the little-endian u32 codec

#include <cstddef>
#include <cstring>

namespace {

constexpr std::uint8_t kPrivateKeyBlob = 0x07;
constexpr std::uint8_t kBlobVersion = 0x02;
constexpr std::uint32_t kRsa2 = 0x32415352;
constexpr std::uint32_t kRsa3 = 0x33415352;  // BCRYPT_RSAFULLPRIVATE_MAGIC
constexpr std::size_t kFullBlobHeaderBytes = 24;  // BCRYPT_RSAKEY_BLOB: six u32
constexpr std::size_t kHeaderBytes = 20;

// Copies `n` little-endian bytes as big-endian.
std::uint8_t* PutReversed(std::uint8_t* out, const std::uint8_t* in, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = in[n - 1 - i];
    }
    return out + n;
}

std::uint32_t SignificantBits(const std::uint8_t* littleEndian, std::size_t n)
{
    for (std::size_t i = n; i > 0; --i) {
        std::uint8_t top = littleEndian[i - 1];
        if (top != 0) {
            auto bits = static_cast<std::uint32_t>(8 * (i - 1));
            while (top != 0) {
                ++bits;
                top = static_cast<std::uint8_t>(top >> 1);
            }
            return bits;
        }
    }
    return 0;
}

}  // namespace

bool LegacyRsaToFullPrivateBlob(std::span<const std::uint8_t> blob, HeapBlock* full, std::uint32_t* bits)
{
    const std::uint8_t* legacy = blob.data();
    const std::size_t length = blob.size();
    if (legacy == nullptr || length < kHeaderBytes || legacy[0] != kPrivateKeyBlob || legacy[1] != kBlobVersion ||
        GetU32(legacy + 8) != kRsa2) {
        return false;
    }
    const std::uint32_t bitlen = GetU32(legacy + 12);
    const std::uint32_t exponent = GetU32(legacy + 16);
    if (bitlen == 0 || bitlen > 65536 || exponent == 0) {
        return false;
    }
    const std::size_t m = (bitlen + 7) / 8;
    const std::size_t h = (bitlen + 15) / 16;
    if (length != kHeaderBytes + 2 * m + 5 * h) {
        return false;
    }
    const std::uint8_t* modulus = legacy + kHeaderBytes;
    const std::uint32_t realBits = SignificantBits(modulus, m);
    // A modulus larger than the header says (possible when bitlen is not a
    // multiple of 8) is not the key the header describes.
    if (realBits == 0 || realBits > bitlen) {
        return false;
    }
    // Fields of the real size. The header's bitlen may be larger (Wine's
    // decoder rounds an odd size up to a multiple of 16); the bytes above the
    // real size must then be zero in every field.
    const std::size_t realM = (realBits + 7) / 8;
    const std::size_t realH = (realBits + 15) / 16;
    struct Field {
        std::size_t length;  // in the legacy blob
        std::size_t keep;    // in the BCrypt blob
    };
    const Field fields[] = {{m, realM}, {h, realH}, {h, realH}, {h, realH}, {h, realH}, {h, realH}, {m, realM}};
    const std::uint8_t* field = modulus;
    for (const Field& f : fields) {
        for (std::size_t i = f.keep; i < f.length; ++i) {
            if (field[i] != 0) {
                return false;
            }
        }
        field += f.length;
    }
    std::uint8_t exponentBytes[4];
    std::size_t exponentLength = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto b = static_cast<std::uint8_t>(exponent >> shift);
        if (b != 0 || exponentLength != 0) {
            exponentBytes[exponentLength++] = b;
        }
    }
    HeapBlock out(kFullBlobHeaderBytes + exponentLength + 2 * realM + 5 * realH);
    if (!out) {
        return false;
    }
    // Magic, BitLength, cbPublicExp, cbModulus, cbPrime1, cbPrime2.
    const std::uint32_t header[6] = {kRsa3,
                                     realBits,
                                     static_cast<std::uint32_t>(exponentLength),
                                     static_cast<std::uint32_t>(realM),
                                     static_cast<std::uint32_t>(realH),
                                     static_cast<std::uint32_t>(realH)};
    std::uint8_t* p = out.get();
    for (const std::uint32_t value : header) {
        PutU32(p, value);
        p += 4;
    }
    std::memcpy(p, exponentBytes, exponentLength);
    p += exponentLength;
    // modulus, prime1, prime2, exponent1, exponent2, coefficient, privateExponent
    const std::uint8_t* in = modulus;
    for (const Field& f : fields) {
        p = PutReversed(p, in, f.keep);
        in += f.length;
    }
    *full = static_cast<HeapBlock&&>(out);
    *bits = realBits;
    return true;
}
