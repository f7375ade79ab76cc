// DER encoding of an RSA public key as SubjectPublicKeyInfo, built from the
// platform's RSAPUBLICBLOB (BCRYPT_RSAKEY_BLOB header, exponent, modulus).
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
};

// Appends a DER length (short form below 128, long form otherwise).
void AppendDerLength(std::vector<uint8_t>& out, size_t length);
// Appends an unsigned big-endian integer as DER INTEGER: leading zero bytes
// dropped, one zero byte added when the top bit would make it negative.
void AppendDerUnsignedInteger(std::vector<uint8_t>& out, const uint8_t* bigEndian, size_t size);

// SEQUENCE { SEQUENCE { rsaEncryption, NULL }, BIT STRING { SEQUENCE { n, e } } }
BlobError RsaPublicBlobToSubjectPublicKeyInfo(const uint8_t* blob, size_t blobSize,
                                              std::vector<uint8_t>& der);

const char* BlobErrorText(BlobError error);

}  // namespace zkt
