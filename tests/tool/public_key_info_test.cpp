#include "pem.h"
#include "public_key_info.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes MakeBlob(ULONG magic, ULONG bits, const Bytes& exponent, const Bytes& modulus)
{
    BCRYPT_RSAKEY_BLOB header{};
    header.Magic = magic;
    header.BitLength = bits;
    header.cbPublicExp = static_cast<ULONG>(exponent.size());
    header.cbModulus = static_cast<ULONG>(modulus.size());
    // Header, exponent, modulus, one after the other.
    Bytes blob(sizeof header + exponent.size() + modulus.size());
    memcpy(blob.data(), &header, sizeof header);
    std::copy(exponent.begin(), exponent.end(), blob.begin() + sizeof header);
    std::copy(modulus.begin(), modulus.end(), blob.begin() + static_cast<ptrdiff_t>(sizeof header + exponent.size()));
    return blob;
}

// A fresh key pair from BCrypt and its RSAPUBLICBLOB.
Bytes GeneratePublicBlob(ULONG bits)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    Bytes blob;
    EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0));
    EXPECT_EQ(0, BCryptGenerateKeyPair(alg, &key, bits, 0));
    EXPECT_EQ(0, BCryptFinalizeKeyPair(key, 0));
    ULONG size = 0;
    EXPECT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0));
    blob.resize(size);
    EXPECT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob.data(), size, &size, 0));
    blob.resize(size);
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    return blob;
}

// The DER of the key inside a SubjectPublicKeyInfo of a one-byte exponent 3.
Bytes RsaPublicKeyOf(const Bytes& modulus)
{
    const Bytes blob = MakeBlob(BCRYPT_RSAPUBLIC_MAGIC, 8 * static_cast<ULONG>(modulus.size()), {0x03}, modulus);
    Bytes der;
    EXPECT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));
    // SEQUENCE, AlgorithmIdentifier (15 bytes), BIT STRING header, no unused bits.
    const size_t at = 2 + 15 + 3;
    return der.size() > at ? Bytes(der.begin() + static_cast<std::ptrdiff_t>(at), der.end()) : Bytes{};
}

TEST(SubjectPublicKeyInfo, ModulusIntegerHasALeadingZeroOnlyWhereTheTopBitIsSet)
{
    // RSAPublicKey: SEQUENCE { INTEGER n, INTEGER e (3) }
    EXPECT_EQ((Bytes{0x30, 0x06, 0x02, 0x01, 0x7F, 0x02, 0x01, 0x03}), RsaPublicKeyOf({0x7F}));
    EXPECT_EQ((Bytes{0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x03}), RsaPublicKeyOf({0x80}));
    EXPECT_EQ((Bytes{0x30, 0x07, 0x02, 0x02, 0x00, 0xFF, 0x02, 0x01, 0x03}), RsaPublicKeyOf({0xFF}));
    // Leading zero bytes of the blob are dropped, a needed one is kept.
    EXPECT_EQ((Bytes{0x30, 0x06, 0x02, 0x01, 0x7F, 0x02, 0x01, 0x03}), RsaPublicKeyOf({0x00, 0x00, 0x7F}));
    EXPECT_EQ((Bytes{0x30, 0x07, 0x02, 0x02, 0x00, 0x80, 0x02, 0x01, 0x03}), RsaPublicKeyOf({0x00, 0x00, 0x80}));
}

TEST(SubjectPublicKeyInfo, LongFormLengthsOfRealKeys)
{
    // 2048 bits: 294 bytes in all, so both lengths take two octets.
    const Bytes blob = GeneratePublicBlob(2048);
    Bytes der;
    ASSERT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));
    ASSERT_EQ(294u, der.size());
    EXPECT_EQ((Bytes{0x30, 0x82, 0x01, 0x22}), Bytes(der.begin(), der.begin() + 4));
    EXPECT_EQ((Bytes{0x03, 0x82, 0x01, 0x0F, 0x00}), Bytes(der.begin() + 19, der.begin() + 24));
}

TEST(SubjectPublicKeyInfo, TinyKeyEncodesToExactBytes)
{
    // n = 0xC5 (top bit set), e = 3.
    const Bytes blob = MakeBlob(BCRYPT_RSAPUBLIC_MAGIC, 8, {0x03}, {0xC5});
    Bytes der;
    ASSERT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));
    const Bytes expected = {
        0x30, 0x1B,                                                  // SubjectPublicKeyInfo
        0x30, 0x0D,                                                  //   AlgorithmIdentifier
        0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01,  // rsaEncryption
        0x05, 0x00,                                                  //     NULL
        0x03, 0x0A, 0x00,                                            //   BIT STRING, 0 unused bits
        0x30, 0x07,                                                  //     RSAPublicKey
        0x02, 0x02, 0x00, 0xC5,                                      //       n
        0x02, 0x01, 0x03,                                            //       e
    };
    EXPECT_EQ(expected, der);
}

TEST(SubjectPublicKeyInfo, MalformedBlobsAreRefused)
{
    Bytes der{0xAA};
    const Bytes good = MakeBlob(BCRYPT_RSAPUBLIC_MAGIC, 16, {0x01, 0x00, 0x01}, {0xC1, 0x23});

    EXPECT_EQ(zkt::BlobError::TooShort, zkt::RsaPublicBlobToSubjectPublicKeyInfo(good.data(), 23, der));
    EXPECT_EQ(zkt::BlobError::TooShort, zkt::RsaPublicBlobToSubjectPublicKeyInfo(nullptr, 0, der));

    const Bytes privateMagic = MakeBlob(BCRYPT_RSAPRIVATE_MAGIC, 16, {0x01, 0x00, 0x01}, {0xC1, 0x23});
    EXPECT_EQ(zkt::BlobError::WrongMagic,
              zkt::RsaPublicBlobToSubjectPublicKeyInfo(privateMagic.data(), privateMagic.size(), der));

    const Bytes noExponent = MakeBlob(BCRYPT_RSAPUBLIC_MAGIC, 16, {}, {0xC1, 0x23});
    EXPECT_EQ(zkt::BlobError::EmptyField,
              zkt::RsaPublicBlobToSubjectPublicKeyInfo(noExponent.data(), noExponent.size(), der));

    // One byte missing from the modulus.
    EXPECT_EQ(zkt::BlobError::Truncated,
              zkt::RsaPublicBlobToSubjectPublicKeyInfo(good.data(), good.size() - 1, der));

    // Header sizes near 2^32 must not wrap into "fits".
    Bytes huge = good;
    const ULONG big = 0xFFFFFFFFu;
    memcpy(huge.data() + 8, &big, 4);
    memcpy(huge.data() + 12, &big, 4);
    EXPECT_EQ(zkt::BlobError::Truncated, zkt::RsaPublicBlobToSubjectPublicKeyInfo(huge.data(), huge.size(), der));

    // Nothing was written on any refusal.
    EXPECT_EQ((Bytes{0xAA}), der);
}

class GeneratedKey : public ::testing::TestWithParam<ULONG> {};

// The platform's own decoder reads our DER back to the same public key.
TEST_P(GeneratedKey, PlatformDecodesDerBackToTheSameKey)
{
    const Bytes blob = GeneratePublicBlob(GetParam());
    ASSERT_GE(blob.size(), sizeof(BCRYPT_RSAKEY_BLOB));
    Bytes der;
    ASSERT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));

    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD infoSize = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(),
                                    static_cast<DWORD>(der.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                                    &infoSize))
        << GetLastError();
    EXPECT_STREQ(szOID_RSA_RSA, info->Algorithm.pszObjId);
    EXPECT_EQ(0u, info->PublicKey.cUnusedBits);

    BCRYPT_KEY_HANDLE imported = nullptr;
    ASSERT_TRUE(CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &imported)) << GetLastError();
    ULONG size = 0;
    ASSERT_EQ(0, BCryptExportKey(imported, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0));
    Bytes roundTrip(size);
    ASSERT_EQ(0, BCryptExportKey(imported, nullptr, BCRYPT_RSAPUBLIC_BLOB, roundTrip.data(), size, &size, 0));
    roundTrip.resize(size);
    EXPECT_EQ(blob, roundTrip);
    BCryptDestroyKey(imported);
    LocalFree(info);
}

// The modulus INTEGER carries a leading zero: a full-length modulus always
// has its top bit set.
TEST_P(GeneratedKey, ModulusIntegerGetsLeadingZero)
{
    const Bytes blob = GeneratePublicBlob(GetParam());
    BCRYPT_RSAKEY_BLOB header{};
    memcpy(&header, blob.data(), sizeof header);
    const uint8_t* modulus = blob.data() + sizeof header + header.cbPublicExp;
    ASSERT_NE(0, modulus[0] & 0x80);
    Bytes der;
    ASSERT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));

    // INTEGER, a two-octet length of modulus + 1, the zero, the modulus.
    const size_t length = header.cbModulus + 1;
    Bytes expectedStart{0x02, 0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF), 0x00};
    expectedStart.insert(expectedStart.end(), modulus, modulus + 8);
    const auto at = std::search(der.begin(), der.end(), expectedStart.begin(), expectedStart.end());
    EXPECT_NE(der.end(), at);
    // And the exponent 65537 closes the structure.
    const Bytes tail{0x02, 0x03, 0x01, 0x00, 0x01};
    ASSERT_GE(der.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), der.end() - tail.size()));
}

INSTANTIATE_TEST_SUITE_P(Sizes, GeneratedKey, ::testing::Values(2048u, 3072u, 4096u));

// Our base64 and the platform's agree both ways, for every length of the
// last group and over line ends of either kind.
TEST(Pem, OurBase64AndThePlatformsReadEachOther)
{
    for (size_t n = 1; n <= 100; ++n) {
        SCOPED_TRACE(n);
        Bytes der(n);
        for (size_t i = 0; i < n; ++i) {
            der[i] = static_cast<uint8_t>(i * 37 + n);
        }
        const std::string ours = pem::Encode("X", der);
        DWORD size = 0;
        ASSERT_TRUE(CryptStringToBinaryA(ours.c_str(), static_cast<DWORD>(ours.size()), CRYPT_STRING_BASE64HEADER,
                                         nullptr, &size, nullptr, nullptr));
        Bytes decoded(size);
        ASSERT_TRUE(CryptStringToBinaryA(ours.c_str(), static_cast<DWORD>(ours.size()), CRYPT_STRING_BASE64HEADER,
                                         decoded.data(), &size, nullptr, nullptr));
        decoded.resize(size);
        EXPECT_EQ(der, decoded);

        DWORD length = 0;
        ASSERT_TRUE(CryptBinaryToStringA(der.data(), static_cast<DWORD>(n), CRYPT_STRING_BASE64HEADER, nullptr, &length));
        std::string theirs(length, '\0');
        ASSERT_TRUE(CryptBinaryToStringA(der.data(), static_cast<DWORD>(n), CRYPT_STRING_BASE64HEADER, theirs.data(),
                                         &length));
        theirs.resize(strlen(theirs.c_str()));
        pem::Block block;
        ASSERT_TRUE(pem::FindBlock(theirs, &block)) << theirs;
        size_t ourSize = 0;
        ASSERT_TRUE(pem::DecodeBody(theirs, block, nullptr, &ourSize));
        Bytes back(ourSize);
        ASSERT_TRUE(pem::DecodeBody(theirs, block, back.data(), &ourSize));
        EXPECT_EQ(der, back);
    }
}

TEST(Pem, SixtyFourCharacterLinesThatThePlatformDecodes)
{
    const Bytes blob = GeneratePublicBlob(2048);
    Bytes der;
    ASSERT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der));
    const std::string pem = pem::Encode("PUBLIC KEY", der);

    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = pem.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(pem.substr(start, nl - start));
    }
    EXPECT_EQ(pem.size(), start) << "text after the last line end";
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("-----BEGIN PUBLIC KEY-----", lines.front());
    EXPECT_EQ("-----END PUBLIC KEY-----", lines.back());
    const size_t bodyLines = lines.size() - 2;
    EXPECT_EQ((der.size() + 2) / 3 * 4, (bodyLines - 1) * 64 + lines[bodyLines].size());
    for (size_t i = 1; i < bodyLines; ++i) {
        EXPECT_EQ(64u, lines[i].size()) << "line " << i;
    }
    EXPECT_GE(64u, lines[bodyLines].size());

    DWORD size = 0;
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                     nullptr, &size, nullptr, nullptr));
    Bytes decoded(size);
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                     decoded.data(), &size, nullptr, nullptr));
    decoded.resize(size);
    EXPECT_EQ(der, decoded);
}

}  // namespace
