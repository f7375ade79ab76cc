#include "public_key_info.h"

#include "der_encode.h"

#include <bcrypt.h>

#include <cstring>

namespace zkt {
namespace {

uint32_t ReadU32(const uint8_t* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

BlobError CheckRsaPublicBlob(const uint8_t* blob, size_t blobSize)
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
    return BlobError::None;
}

}  // namespace

BlobError RsaPublicBlobToSubjectPublicKeyInfo(const uint8_t* blob, size_t blobSize, std::vector<uint8_t>& der)
{
    const BlobError error = CheckRsaPublicBlob(blob, blobSize);
    if (error != BlobError::None) {
        return error;
    }
    Bytes rsaPublicKey;
    if (!EncodeObject(CNG_RSA_PUBLIC_KEY_BLOB, blob, rsaPublicKey)) {
        return BlobError::EncodeFailed;
    }
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_RSA);
    info.Algorithm.Parameters = {static_cast<DWORD>(DerNull().size()), const_cast<BYTE*>(DerNull().data())};
    info.PublicKey = {static_cast<DWORD>(rsaPublicKey.size()), rsaPublicKey.data(), 0};
    Bytes encoded;
    if (!EncodeObject(X509_PUBLIC_KEY_INFO, &info, encoded)) {
        return BlobError::EncodeFailed;
    }
    der = std::move(encoded);
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
    case BlobError::EncodeFailed: return "the platform could not encode the public key";
    }
    return "unknown blob error";
}

}  // namespace zkt
