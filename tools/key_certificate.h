// What requests and certificates need from the key, through the provider:
// its public half, and signatures made by its SignHash.
#pragma once

#include "der_encode.h"
#include "provider_access.h"
#include "signature_algorithm.h"
#include "tool_args.h"

namespace zkt {

// The key's RSAPUBLICBLOB (ExportKey) as SubjectPublicKeyInfo DER. Reports
// a failure itself.
bool ReadSubjectPublicKeyInfo(OpenedKey& key, Bytes& subjectPublicKeyInfo);

// Hashes the body with BCrypt, signs the hash with the key's SignHash
// (PKCS#1 v1.5 or PSS as asked) and wraps body, algorithm and signature.
// Reports a failure itself.
bool SignBody(OpenedKey& key, const ToolOptions& options, const Bytes& body, const SignatureAlgorithm& algorithm,
              Bytes& signedDer);

// The last lines of both documents' reports on standard output: the DNS
// names asked for and the signature algorithm.
void PrintNamesAndSignature(const ToolOptions& options);

// SHA-1 of the subjectPublicKey bits: the key identifier of RFC 5280
// (4.2.1.2, method 1), the same one Windows computes for a certificate.
bool KeyIdentifier(const Bytes& subjectPublicKeyInfo, Bytes& keyId);

}  // namespace zkt
