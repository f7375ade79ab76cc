// The body of an X.509 v3 certificate (TBSCertificate), encoded by crypt32
// from a CERT_INFO (X509_CERT_TO_BE_SIGNED).
#pragma once

#include "der_encode.h"
#include "extensions.h"
#include "signature_algorithm.h"

#include <vector>

namespace zkt {

struct CertificateFields {
    Bytes serialNumber;  // little-endian, as CRYPT_INTEGER_BLOB holds it
    FILETIME notBefore{};
    FILETIME notAfter{};
    Bytes subject;       // DER Name; also the issuer of a self-signed certificate
    Bytes subjectPublicKeyInfo;
    SignatureAlgorithm signature;
    std::vector<Extension> extensions;
};

// 16 bytes from BCryptGenRandom, made a positive INTEGER of full length
// (RFC 5280: positive, at most 20 octets). Returns the BCrypt status.
LONG RandomSerialNumber(Bytes& serial);

// From five minutes ago (clocks of other machines may lag) for `days` days.
void ValidityFromNow(DWORD days, FILETIME& notBefore, FILETIME& notAfter);

bool BuildCertificateBody(const CertificateFields& fields, Bytes& der);

}  // namespace zkt
