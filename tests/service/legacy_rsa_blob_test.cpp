// The legacy RSA blob's conversion on hand-made blobs; the conversion of
// real keys, against OpenSSL, is in key_import_unit_test.cpp.
#include "legacy_rsa_blob.h"
#include "wire_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(LegacyBlob, AnythingButExactlyOneBlobIsRefusedAndNothingWritten)
{
    // A well-formed 32-bit key: header, then n (4), p q dp dq qinv (2 each), d (4).
    Bytes good = {0x07, 0x02, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '2', 32, 0, 0, 0, 0x01, 0x00, 0x01, 0x00};
    const Bytes n = {0x11, 0x22, 0x33, 0xC4};
    good.insert(good.end(), n.begin(), n.end());
    for (int i = 0; i < 5; ++i) {
        good.push_back(static_cast<std::uint8_t>(0x10 + i));
        good.push_back(static_cast<std::uint8_t>(0x80 + i));
    }
    good.insert(good.end(), {0x55, 0x66, 0x77, 0x08});
    HeapBlock out;
    std::uint32_t bits = 0;
    ASSERT_TRUE(LegacyRsaToFullPrivateBlob(good, &out, &bits));
    EXPECT_EQ(32u, bits);
    // e = 65537 as three big-endian bytes, then n reversed.
    const Bytes start(out.get() + 24, out.get() + 31);
    EXPECT_EQ((Bytes{0x01, 0x00, 0x01, 0xC4, 0x33, 0x22, 0x11}), start);

    struct {
        const char* what;
        size_t offset;
        std::uint8_t value;
    } edits[] = {{"blob type", 0, 0x06}, {"version", 1, 0x03}, {"magic", 8, 'X'},
                 {"bit length", 12, 40},  {"exponent 0", 16, 0}, {"modulus zero", 23, 0x00}};
    for (const auto& e : edits) {
        Bytes bad = good;
        bad[e.offset] = e.value;
        if (e.offset == 16) {
            bad[18] = 0;
        }
        if (e.offset == 23) {
            std::fill(bad.begin() + 20, bad.begin() + 24, std::uint8_t{0});
        }
        HeapBlock untouched;
        EXPECT_FALSE(LegacyRsaToFullPrivateBlob(bad, &untouched, &bits)) << e.what;
        EXPECT_FALSE(static_cast<bool>(untouched)) << e.what;
    }
    for (size_t cut : {size_t{0}, size_t{19}, good.size() - 1}) {
        HeapBlock untouched;
        EXPECT_FALSE(LegacyRsaToFullPrivateBlob({good.data(), cut}, &untouched, &bits)) << cut;
    }
    Bytes longer = good;
    longer.push_back(0);
    EXPECT_FALSE(LegacyRsaToFullPrivateBlob(longer, &out, &bits));

    // A header bitlen above the real size is taken at the real size when the
    // bytes above it are zero, and refused when they are not.
    Bytes padded = good;
    padded[23] = 0x00;  // n = 0x00332211: 22 bits in a 32-bit field
    padded[37] = 0x00;  // and d's top byte, which the 3-byte field drops
    ASSERT_TRUE(LegacyRsaToFullPrivateBlob(padded, &out, &bits));
    EXPECT_EQ(22u, bits);
    // The header's cbModulus and cbPrime1.
    EXPECT_EQ(3u, GetU32(out.get() + 12));
    EXPECT_EQ(2u, GetU32(out.get() + 16));
    padded[37] = 0x01;  // d's top byte no longer zero
    HeapBlock refused;
    EXPECT_FALSE(LegacyRsaToFullPrivateBlob(padded, &refused, &bits));

    // A modulus with more bits than the header's bitlen is refused: here the
    // 32-bit n said to be 30 bits, which gives the same field sizes.
    Bytes understated = good;
    understated[12] = 30;
    EXPECT_FALSE(LegacyRsaToFullPrivateBlob(understated, &refused, &bits));
}

}  // namespace
