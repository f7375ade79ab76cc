#include "legacy_rsa_blob.h"

#include "wire_codec.h"  // the little-endian u32 codec

#include <bcrypt.h>

#include <cstring>

namespace {

constexpr BYTE kPrivateKeyBlob = 0x07;
constexpr BYTE kBlobVersion = 0x02;
constexpr DWORD kRsa2 = 0x32415352;
constexpr size_t kHeaderBytes = 20;

// Copies `n` little-endian bytes as big-endian.
BYTE* PutReversed(BYTE* out, const BYTE* in, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        out[i] = in[n - 1 - i];
    }
    return out + n;
}

ULONG SignificantBits(const BYTE* littleEndian, size_t n)
{
    for (size_t i = n; i > 0; --i) {
        BYTE top = littleEndian[i - 1];
        if (top != 0) {
            ULONG bits = static_cast<ULONG>(8 * (i - 1));
            while (top != 0) {
                ++bits;
                top = static_cast<BYTE>(top >> 1);
            }
            return bits;
        }
    }
    return 0;
}

}  // namespace

bool LegacyRsaToFullPrivateBlob(const BYTE* legacy, size_t length, HeapBlock* full, ULONG* bits)
{
    if (legacy == nullptr || length < kHeaderBytes || legacy[0] != kPrivateKeyBlob || legacy[1] != kBlobVersion ||
        GetU32(legacy + 8) != kRsa2) {
        return false;
    }
    const DWORD bitlen = GetU32(legacy + 12);
    const DWORD exponent = GetU32(legacy + 16);
    if (bitlen == 0 || bitlen > 65536 || exponent == 0) {
        return false;
    }
    const size_t m = (bitlen + 7) / 8;
    const size_t h = (bitlen + 15) / 16;
    if (length != kHeaderBytes + 2 * m + 5 * h) {
        return false;
    }
    const BYTE* modulus = legacy + kHeaderBytes;
    const ULONG realBits = SignificantBits(modulus, m);
    if (realBits == 0) {
        return false;
    }
    // Fields of the real size. The header's bitlen may be larger (Wine's
    // decoder rounds an odd size up to a multiple of 16); the bytes above the
    // real size must then be zero in every field.
    const size_t realM = (realBits + 7) / 8;
    const size_t realH = (realBits + 15) / 16;
    struct Field {
        size_t length;  // in the legacy blob
        size_t keep;    // in the BCrypt blob
    };
    const Field fields[] = {{m, realM}, {h, realH}, {h, realH}, {h, realH}, {h, realH}, {h, realH}, {m, realM}};
    const BYTE* field = modulus;
    for (const Field& f : fields) {
        for (size_t i = f.keep; i < f.length; ++i) {
            if (field[i] != 0) {
                return false;
            }
        }
        field += f.length;
    }
    BYTE exponentBytes[4];
    size_t exponentLength = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const BYTE b = static_cast<BYTE>(exponent >> shift);
        if (b != 0 || exponentLength != 0) {
            exponentBytes[exponentLength++] = b;
        }
    }
    HeapBlock out(sizeof(BCRYPT_RSAKEY_BLOB) + exponentLength + 2 * realM + 5 * realH);
    if (!out) {
        return false;
    }
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = BCRYPT_RSAFULLPRIVATE_MAGIC;
    header.BitLength = realBits;
    header.cbPublicExp = static_cast<ULONG>(exponentLength);
    header.cbModulus = static_cast<ULONG>(realM);
    header.cbPrime1 = static_cast<ULONG>(realH);
    header.cbPrime2 = static_cast<ULONG>(realH);
    memcpy(out.get(), &header, sizeof header);
    BYTE* p = out.get() + sizeof header;
    memcpy(p, exponentBytes, exponentLength);
    p += exponentLength;
    // modulus, prime1, prime2, exponent1, exponent2, coefficient, privateExponent
    const BYTE* in = modulus;
    for (const Field& f : fields) {
        p = PutReversed(p, in, f.keep);
        in += f.length;
    }
    *full = static_cast<HeapBlock&&>(out);
    *bits = realBits;
    return true;
}
