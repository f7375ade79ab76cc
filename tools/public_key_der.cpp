#include "public_key_der.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

namespace zkt {
namespace {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagSequence = 0x30;

// AlgorithmIdentifier: SEQUENCE { OID 1.2.840.113549.1.1.1 (rsaEncryption), NULL }.
constexpr uint8_t kRsaAlgorithmIdentifier[] = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                                               0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

void AppendTagged(std::vector<uint8_t>& out, uint8_t tag, const std::vector<uint8_t>& content)
{
    out.push_back(tag);
    AppendDerLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
}

// A BIT STRING of whole bytes: the unused-bits count 0, then the bytes.
void AppendBitString(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes)
{
    out.push_back(kTagBitString);
    AppendDerLength(out, bytes.size() + 1);
    out.push_back(0);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

uint32_t ReadU32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

void AppendDerLength(std::vector<uint8_t>& out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
        return;
    }
    uint8_t bytes[sizeof(size_t)];
    size_t count = 0;
    for (size_t rest = length; rest != 0; rest >>= 8) {
        bytes[count++] = static_cast<uint8_t>(rest & 0xFF);
    }
    out.push_back(static_cast<uint8_t>(0x80 | count));
    while (count > 0) {
        out.push_back(bytes[--count]);
    }
}

void AppendDerUnsignedInteger(std::vector<uint8_t>& out, const uint8_t* bigEndian, size_t size)
{
    size_t skip = 0;
    while (skip < size && bigEndian[skip] == 0) {
        ++skip;
    }
    std::vector<uint8_t> content;
    // Zero, or a top bit that would read as a sign, needs a leading zero byte.
    if (skip == size || (bigEndian[skip] & 0x80) != 0) {
        content.push_back(0);
    }
    content.insert(content.end(), bigEndian + skip, bigEndian + size);
    AppendTagged(out, kTagInteger, content);
}

BlobError RsaPublicBlobToSubjectPublicKeyInfo(const uint8_t* blob, size_t blobSize,
                                              std::vector<uint8_t>& der)
{
    constexpr size_t kHeader = sizeof(BCRYPT_RSAKEY_BLOB);
    static_assert(kHeader == 24, "six 32-bit header fields");
    if (blob == nullptr || blobSize < kHeader) {
        return BlobError::TooShort;
    }
    if (ReadU32(blob) != BCRYPT_RSAPUBLIC_MAGIC) {
        return BlobError::WrongMagic;
    }
    const size_t exponentSize = ReadU32(blob + 8);
    const size_t modulusSize = ReadU32(blob + 12);
    if (exponentSize == 0 || modulusSize == 0) {
        return BlobError::EmptyField;
    }
    // Each size is below 2^32, so the sum cannot wrap a 64-bit size_t.
    if (blobSize - kHeader < exponentSize + modulusSize) {
        return BlobError::Truncated;
    }
    const uint8_t* exponent = blob + kHeader;
    const uint8_t* modulus = exponent + exponentSize;

    std::vector<uint8_t> integers;
    AppendDerUnsignedInteger(integers, modulus, modulusSize);
    AppendDerUnsignedInteger(integers, exponent, exponentSize);
    std::vector<uint8_t> rsaKey;
    AppendTagged(rsaKey, kTagSequence, integers);

    std::vector<uint8_t> body(kRsaAlgorithmIdentifier, kRsaAlgorithmIdentifier + sizeof kRsaAlgorithmIdentifier);
    AppendBitString(body, rsaKey);

    der.clear();
    AppendTagged(der, kTagSequence, body);
    return BlobError::None;
}

const char* BlobErrorText(BlobError error)
{
    switch (error) {
    case BlobError::None: return "no error";
    case BlobError::TooShort: return "public key blob shorter than its 24-byte header";
    case BlobError::WrongMagic: return "public key blob is not an RSA public blob";
    case BlobError::EmptyField: return "public key blob has an empty exponent or modulus";
    case BlobError::Truncated: return "public key blob is shorter than its header announces";
    }
    return "unknown blob error";
}

}  // namespace zkt
