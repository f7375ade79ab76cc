#include "signature_algorithm.h"

namespace zkt {
namespace {

const char* HashOid(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return szOID_OIWSEC_sha1;
    case HashAlgorithm::Sha256: return szOID_NIST_sha256;
    case HashAlgorithm::Sha384: return szOID_NIST_sha384;
    case HashAlgorithm::Sha512: return szOID_NIST_sha512;
    }
    return szOID_NIST_sha256;
}

const char* Pkcs1Oid(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return szOID_RSA_SHA1RSA;
    case HashAlgorithm::Sha256: return szOID_RSA_SHA256RSA;
    case HashAlgorithm::Sha384: return szOID_RSA_SHA384RSA;
    case HashAlgorithm::Sha512: return szOID_RSA_SHA512RSA;
    }
    return szOID_RSA_SHA256RSA;
}

// RSASSA-PSS-params ::= SEQUENCE { [0] hashAlgorithm, [1] maskGenAlgorithm,
// [2] saltLength, [3] trailerField DEFAULT 1 (left out) }. Wine has no
// PKCS_RSA_SSA_PSS_PARAMETERS encoder, so the fields are composed here.
bool PssParameters(HashAlgorithm hash, Bytes& der)
{
    Bytes hashAlgorithm, maskGen, salt, tagged0, tagged1, tagged2;
    const int saltLength = static_cast<int>(HashDigestSize(hash));
    return AlgorithmIdentifierDer(HashOid(hash), DerNull(), hashAlgorithm) &&
           AlgorithmIdentifierDer(szOID_RSA_MGF1, hashAlgorithm, maskGen) &&
           EncodeObject(X509_INTEGER, &saltLength, salt) && ExplicitTag(0, hashAlgorithm, tagged0) &&
           ExplicitTag(1, maskGen, tagged1) && ExplicitTag(2, salt, tagged2) &&
           SequenceOf({tagged0, tagged1, tagged2}, der);
}

}  // namespace

bool ChooseSignatureAlgorithm(HashAlgorithm hash, SignaturePadding padding, SignatureAlgorithm& out)
{
    if (padding == SignaturePadding::Pss) {
        out.oid = szOID_RSA_SSA_PSS;
        return PssParameters(hash, out.parameters);
    }
    out.oid = Pkcs1Oid(hash);
    out.parameters = DerNull();
    return true;
}

CRYPT_ALGORITHM_IDENTIFIER AsCryptAlgorithm(const SignatureAlgorithm& algorithm)
{
    CRYPT_ALGORITHM_IDENTIFIER id{};
    id.pszObjId = const_cast<LPSTR>(algorithm.oid);
    id.Parameters = {static_cast<DWORD>(algorithm.parameters.size()), const_cast<BYTE*>(algorithm.parameters.data())};
    return id;
}

}  // namespace zkt
