// SubjectPublicKeyInfo of an RSA key, from the platform's RSAPUBLICBLOB
// (BCRYPT_RSAKEY_BLOB header, exponent, modulus), encoded by crypt32
// (CNG_RSA_PUBLIC_KEY_BLOB, then X509_PUBLIC_KEY_INFO).
#pragma once

#include <cstdint>
#include <vector>

namespace zkt {

enum class BlobError {
    None,
    TooShort,        // fewer bytes than the 24-byte header
    WrongMagic,      // not an RSA public blob
    EmptyField,      // exponent or modulus of zero length
    Truncated,       // header announces more bytes than the blob holds
    EncodeFailed,    // crypt32 refused the key
};

// The blob's header is checked here, since crypt32's encoder reads the blob
// without being told its length. Nothing is written on failure.
BlobError RsaPublicBlobToSubjectPublicKeyInfo(const uint8_t* blob, size_t blobSize,
                                              std::vector<uint8_t>& der);

const char* BlobErrorText(BlobError error);

}  // namespace zkt
