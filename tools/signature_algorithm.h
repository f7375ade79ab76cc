// The AlgorithmIdentifier of a signature made through the provider:
// sha256/384/512WithRSAEncryption (NULL parameters) or RSASSA-PSS with its
// parameters (the hash, MGF1 over the same hash, a salt as long as the hash).
#pragma once

#include "der_encode.h"
#include "tool_args.h"

namespace zkt {

struct SignatureAlgorithm {
    const char* oid = nullptr;
    Bytes parameters;  // DER
};

bool ChooseSignatureAlgorithm(HashAlgorithm hash, SignaturePadding padding, SignatureAlgorithm& out);

// Points into `algorithm`, which must outlive the result.
CRYPT_ALGORITHM_IDENTIFIER AsCryptAlgorithm(const SignatureAlgorithm& algorithm);

}  // namespace zkt
