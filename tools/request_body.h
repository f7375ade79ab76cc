// The body of a PKCS #10 certification request:
//   CertificationRequestInfo ::= SEQUENCE { version INTEGER (0), subject Name,
//     subjectPKInfo SubjectPublicKeyInfo, attributes [0] IMPLICIT Attributes }
// Wine has no X509_CERT_REQUEST_TO_BE_SIGNED encoder, so the body is a
// SEQUENCE of crypt32-encoded parts; the attributes are crypt32's
// PKCS_ATTRIBUTES (a SET OF) under the [0] tag.
#pragma once

#include "der_encode.h"
#include "extensions.h"

#include <vector>

namespace zkt {

// With extensions, one extensionRequest attribute carries them.
bool BuildRequestBody(const Bytes& subject, const Bytes& subjectPublicKeyInfo,
                      const std::vector<Extension>& extensions, Bytes& der);

}  // namespace zkt
