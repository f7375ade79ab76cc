#include "signed_object.h"

#include <algorithm>

namespace zkt {

bool WrapSigned(const Bytes& body, const SignatureAlgorithm& algorithm, const Bytes& signature, Bytes& der)
{
    // X509_CERT keeps CryptoAPI's little-endian signature order in its
    // record and reverses it when encoding (on Windows and in Wine alike),
    // so the provider's big-endian signature goes in reversed.
    Bytes reversed(signature.rbegin(), signature.rend());
    CERT_SIGNED_CONTENT_INFO content{};
    content.ToBeSigned = {static_cast<DWORD>(body.size()), const_cast<BYTE*>(body.data())};
    content.SignatureAlgorithm = AsCryptAlgorithm(algorithm);
    content.Signature = {static_cast<DWORD>(reversed.size()), reversed.data(), 0};
    return EncodeObject(X509_CERT, &content, der);
}

}  // namespace zkt
