// Certificate extensions, each value encoded by crypt32: subject
// alternative names (requests and certificates), and for a self-signed
// certificate basic constraints, key usage, extended key usage and the
// subject key identifier.
#pragma once

#include "der_encode.h"

#include <string>
#include <vector>

namespace zkt {

struct Extension {
    const char* oid = nullptr;
    bool critical = false;
    Bytes value;  // DER
};

bool SubjectAltNames(const std::vector<std::wstring>& dnsNames, Extension& out);
// An end entity: cA FALSE, critical.
bool EndEntityBasicConstraints(Extension& out);
// digitalSignature, and keyEncipherment for TLS servers (RSA key transport);
// critical. `purposes` holds KeyPurpose bits.
bool KeyUsageFor(unsigned purposes, Extension& out);
// The extended key usages asked for; call only with at least one.
bool ExtendedKeyUsageFor(unsigned purposes, Extension& out);
// The key identifier as an OCTET STRING.
bool SubjectKeyIdentifier(const Bytes& keyId, Extension& out);

// Extensions ::= SEQUENCE OF Extension
bool EncodeExtensions(const std::vector<Extension>& extensions, Bytes& der);

// The platform records, pointing into `extensions`.
std::vector<CERT_EXTENSION> AsCertExtensions(const std::vector<Extension>& extensions);

}  // namespace zkt
