#include "raw_rsa.h"

#include <bcrypt.h>

#include <cstdint>

namespace {

__extension__ typedef unsigned __int128 u128;

// Little-endian 64-bit limbs of a big-endian byte string, zero-extended.
void ToLimbs(const BYTE* bytes, size_t length, uint64_t* limbs, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        limbs[i] = 0;
    }
    for (size_t i = 0; i < length; ++i) {
        size_t bit = 8 * (length - 1 - i);
        limbs[bit / 64] |= static_cast<uint64_t>(bytes[i]) << (bit % 64);
    }
}

void FromLimbs(const uint64_t* limbs, BYTE* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        size_t bit = 8 * (length - 1 - i);
        bytes[i] = static_cast<BYTE>(limbs[bit / 64] >> (bit % 64));
    }
}

// a < b, for public values only (the modulus check of the input).
bool Less(const uint64_t* a, const uint64_t* b, size_t count)
{
    for (size_t i = count; i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i];
        }
    }
    return false;
}

// out = a - b (count limbs); returns the borrow.
uint64_t Subtract(const uint64_t* a, const uint64_t* b, uint64_t* out, size_t count)
{
    uint64_t borrow = 0;
    for (size_t i = 0; i < count; ++i) {
        u128 d = static_cast<u128>(a[i]) - b[i] - borrow;
        out[i] = static_cast<uint64_t>(d);
        borrow = static_cast<uint64_t>(d >> 64) & 1;
    }
    return borrow;
}

// dst = mask ? src : dst, without a branch on the mask.
void Select(uint64_t* dst, const uint64_t* src, uint64_t mask, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        dst[i] ^= mask & (dst[i] ^ src[i]);
    }
}

struct Montgomery {
    const uint64_t* n;
    size_t count;
    uint64_t n0inv;   // -n^-1 mod 2^64
    uint64_t* t;      // count + 2 limbs of scratch
    uint64_t* diff;   // count limbs of scratch
};

// out = a * b / R mod n (CIOS); `out` may alias `a` or `b`.
void MontMul(const Montgomery& m, const uint64_t* a, const uint64_t* b, uint64_t* out)
{
    const size_t s = m.count;
    uint64_t* t = m.t;
    for (size_t i = 0; i < s + 2; ++i) {
        t[i] = 0;
    }
    for (size_t i = 0; i < s; ++i) {
        u128 c = 0;
        for (size_t j = 0; j < s; ++j) {
            c = static_cast<u128>(a[j]) * b[i] + t[j] + (c >> 64);
            t[j] = static_cast<uint64_t>(c);
        }
        c = static_cast<u128>(t[s]) + (c >> 64);
        t[s] = static_cast<uint64_t>(c);
        t[s + 1] = static_cast<uint64_t>(c >> 64);
        uint64_t q = t[0] * m.n0inv;
        c = static_cast<u128>(q) * m.n[0] + t[0];
        for (size_t j = 1; j < s; ++j) {
            c = static_cast<u128>(q) * m.n[j] + t[j] + (c >> 64);
            t[j - 1] = static_cast<uint64_t>(c);
        }
        c = static_cast<u128>(t[s]) + (c >> 64);
        t[s - 1] = static_cast<uint64_t>(c);
        t[s] = t[s + 1] + static_cast<uint64_t>(c >> 64);
    }
    // t < 2n: subtract n unless that borrows past the top limb.
    uint64_t borrow = Subtract(t, m.n, m.diff, s);
    uint64_t keepT = 0 - (borrow & ~t[s] & 1);
    for (size_t i = 0; i < s; ++i) {
        out[i] = (keepT & t[i]) | (~keepT & m.diff[i]);
    }
}

}  // namespace

bool RawRsaPrivate(const BYTE* blob, size_t blobLength, const BYTE* input, size_t inputLength, HeapBlock* output)
{
    BCRYPT_RSAKEY_BLOB h;
    if (blob == nullptr || blobLength < sizeof(h)) {
        return false;
    }
    memcpy(&h, blob, sizeof(h));
    size_t modulusBytes = h.cbModulus;
    // Layout: e, n, p, q, dp, dq, qinv, d.
    size_t expected = sizeof(h) + h.cbPublicExp + 2 * modulusBytes + 3 * static_cast<size_t>(h.cbPrime1) +
                      2 * static_cast<size_t>(h.cbPrime2);
    if (h.Magic != BCRYPT_RSAFULLPRIVATE_MAGIC || modulusBytes == 0 || modulusBytes > 2048 ||
        blobLength < expected || inputLength != modulusBytes) {
        return false;
    }
    const BYTE* modulus = blob + sizeof(h) + h.cbPublicExp;
    const BYTE* exponent = blob + expected - modulusBytes;
    if ((modulus[modulusBytes - 1] & 1) == 0) {
        return false;  // Montgomery needs an odd modulus; an RSA modulus is one
    }
    const size_t s = (modulusBytes + 7) / 8;
    // n, c, d, r0, r1, rr, one, t (s + 2), diff: one wiped block.
    HeapBlock work((9 * s + 2) * sizeof(uint64_t));
    HeapBlock out(modulusBytes);
    if (!work || !out) {
        return false;
    }
    uint64_t* n = reinterpret_cast<uint64_t*>(work.get());
    uint64_t* c = n + s;
    uint64_t* d = c + s;
    uint64_t* r0 = d + s;
    uint64_t* r1 = r0 + s;
    uint64_t* rr = r1 + s;
    uint64_t* one = rr + s;
    uint64_t* t = one + s;
    uint64_t* diff = t + s + 2;
    ToLimbs(modulus, modulusBytes, n, s);
    ToLimbs(input, inputLength, c, s);
    ToLimbs(exponent, modulusBytes, d, s);
    if (!Less(c, n, s)) {
        return false;
    }
    uint64_t inv = 1;
    for (int i = 0; i < 6; ++i) {
        inv *= 2 - n[0] * inv;
    }
    Montgomery m{n, s, 0 - inv, t, diff};

    // rr = R^2 mod n by doubling 1 for 2 * 64 * s bits.
    for (size_t i = 0; i < s; ++i) {
        rr[i] = 0;
        one[i] = 0;
    }
    rr[0] = 1;
    one[0] = 1;
    for (size_t i = 0; i < 128 * s; ++i) {
        uint64_t carry = rr[s - 1] >> 63;
        for (size_t j = s; j-- > 1;) {
            rr[j] = (rr[j] << 1) | (rr[j - 1] >> 63);
        }
        rr[0] <<= 1;
        uint64_t borrow = Subtract(rr, n, diff, s);
        Select(rr, diff, 0 - (carry | (borrow ^ 1)), s);
    }

    // Montgomery ladder over every bit of d: the same work for every bit.
    MontMul(m, one, rr, r0);  // 1 in Montgomery form
    MontMul(m, c, rr, r1);    // c in Montgomery form
    for (size_t bit = 64 * s; bit-- > 0;) {
        uint64_t mask = 0 - ((d[bit / 64] >> (bit % 64)) & 1);
        for (size_t i = 0; i < s; ++i) {  // swap when the bit is set
            uint64_t x = mask & (r0[i] ^ r1[i]);
            r0[i] ^= x;
            r1[i] ^= x;
        }
        MontMul(m, r0, r1, r1);
        MontMul(m, r0, r0, r0);
        for (size_t i = 0; i < s; ++i) {
            uint64_t x = mask & (r0[i] ^ r1[i]);
            r0[i] ^= x;
            r1[i] ^= x;
        }
    }
    MontMul(m, r0, one, r0);
    FromLimbs(r0, out.get(), modulusBytes);
    *output = static_cast<HeapBlock&&>(out);
    return true;
}
