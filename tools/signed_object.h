// A signed request or certificate: SEQUENCE { body, AlgorithmIdentifier,
// BIT STRING signature }, crypt32's X509_CERT (CERT_SIGNED_CONTENT_INFO),
// which has the same shape for both.
#pragma once

#include "der_encode.h"
#include "signature_algorithm.h"

namespace zkt {

// `signature` in the order BCrypt and NCrypt give it (big-endian).
bool WrapSigned(const Bytes& body, const SignatureAlgorithm& algorithm, const Bytes& signature, Bytes& der);

}  // namespace zkt
