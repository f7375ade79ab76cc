// The crypt32 compositions that requests and certificates are built from,
// read back with crypt32's decoders.
#include "certificate_body.h"
#include "certificate_file.h"
#include "der_encode.h"
#include "extensions.h"
#include "public_key_info.h"
#include "request_body.h"
#include "signature_algorithm.h"
#include "signed_object.h"
#include "subject_name.h"
#include "unique_resource.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using zkt::Bytes;

const CRYPT_SEQUENCE_OF_ANY* Fields(const Bytes& der, Bytes& decoded)
{
    EXPECT_TRUE(zkt::DecodeObject(X509_SEQUENCE_OF_ANY, der.data(), der.size(), decoded)) << GetLastError();
    return zkt::DecodedAs<CRYPT_SEQUENCE_OF_ANY>(decoded);
}

Bytes Field(const CRYPT_SEQUENCE_OF_ANY* fields, DWORD i)
{
    return Bytes(fields->rgValue[i].pbData, fields->rgValue[i].pbData + fields->rgValue[i].cbData);
}

Bytes TestPublicKey()
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0));
    EXPECT_EQ(0, BCryptGenerateKeyPair(alg, &key, 2048, 0));
    EXPECT_EQ(0, BCryptFinalizeKeyPair(key, 0));
    ULONG size = 0;
    BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
    Bytes blob(size);
    BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob.data(), size, &size, 0);
    BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    Bytes spki;
    EXPECT_EQ(zkt::BlobError::None, zkt::RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), spki));
    return spki;
}

TEST(DerEncode, AlgorithmIdentifierTakenFromThePublicKeyEncoder)
{
    Bytes der;
    ASSERT_TRUE(zkt::AlgorithmIdentifierDer(szOID_NIST_sha256, zkt::DerNull(), der));
    EXPECT_EQ((Bytes{0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00}), der);
    // Parameters that are themselves a structure are copied whole.
    Bytes outer;
    ASSERT_TRUE(zkt::AlgorithmIdentifierDer(szOID_RSA_MGF1, der, outer));
    ASSERT_EQ(2u + 11u + der.size(), outer.size());
    EXPECT_TRUE(std::equal(der.begin(), der.end(), outer.end() - static_cast<std::ptrdiff_t>(der.size())));
}

TEST(DerEncode, ExplicitAndImplicitTags)
{
    const int five = 5;
    Bytes integer, tagged;
    ASSERT_TRUE(zkt::EncodeObject(X509_INTEGER, &five, integer));
    ASSERT_TRUE(zkt::ExplicitTag(2, integer, tagged));
    EXPECT_EQ((Bytes{0xA2, 0x03, 0x02, 0x01, 0x05}), tagged);
    EXPECT_FALSE(zkt::ExplicitTag(31, integer, tagged));
    Bytes empty;
    EXPECT_FALSE(zkt::Retag(empty, 0xA0));
}

TEST(SignatureAlgorithm, PssParametersNameTheHashTheMaskAndTheSalt)
{
    for (const auto& [hash, oid, salt] :
         {std::tuple{zkt::HashAlgorithm::Sha256, szOID_NIST_sha256, 32}, std::tuple{zkt::HashAlgorithm::Sha384, szOID_NIST_sha384, 48},
          std::tuple{zkt::HashAlgorithm::Sha512, szOID_NIST_sha512, 64}}) {
        SCOPED_TRACE(salt);
        zkt::SignatureAlgorithm algorithm;
        ASSERT_TRUE(zkt::ChooseSignatureAlgorithm(hash, zkt::SignaturePadding::Pss, algorithm));
        EXPECT_STREQ(szOID_RSA_SSA_PSS, algorithm.oid);
        Bytes decoded, hashAlg;
        const CRYPT_SEQUENCE_OF_ANY* fields = Fields(algorithm.parameters, decoded);
        ASSERT_EQ(3u, fields->cValue);  // the trailer field keeps its default
        EXPECT_EQ(0xA0, fields->rgValue[0].pbData[0]);
        EXPECT_EQ(0xA1, fields->rgValue[1].pbData[0]);
        EXPECT_EQ(0xA2, fields->rgValue[2].pbData[0]);
        ASSERT_TRUE(zkt::AlgorithmIdentifierDer(oid, zkt::DerNull(), hashAlg));
        const Bytes first = Field(fields, 0);
        EXPECT_TRUE(std::equal(hashAlg.begin(), hashAlg.end(), first.begin() + 2));
        const Bytes third = Field(fields, 2);
        EXPECT_EQ((Bytes{0xA2, 0x03, 0x02, 0x01, static_cast<BYTE>(salt)}), third);
    }
    zkt::SignatureAlgorithm pkcs1;
    ASSERT_TRUE(zkt::ChooseSignatureAlgorithm(zkt::HashAlgorithm::Sha384, zkt::SignaturePadding::Pkcs1, pkcs1));
    EXPECT_STREQ(szOID_RSA_SHA384RSA, pkcs1.oid);
    EXPECT_EQ(zkt::DerNull(), pkcs1.parameters);
}

TEST(SubjectName, ErrorsQuoteWhereTheNameStopsMakingSense)
{
    Bytes der;
    std::string error;
    ASSERT_TRUE(zkt::EncodeSubjectName(L"CN=Build,O=Example,C=DE", der, error)) << error;
    Bytes decoded;
    ASSERT_TRUE(zkt::DecodeObject(X509_NAME, der.data(), der.size(), decoded));
    EXPECT_EQ(3u, zkt::DecodedAs<CERT_NAME_INFO>(decoded)->cRDN);

    EXPECT_FALSE(zkt::EncodeSubjectName(L"CN=ok,NOPE=x", der, error));
    EXPECT_NE(std::string::npos, error.find("stopped at \"NOPE=x\"")) << error;
    EXPECT_FALSE(zkt::EncodeSubjectName(L"just words", der, error));
    EXPECT_NE(std::string::npos, error.find("is not an X.500 name")) << error;
}

TEST(RequestBody, VersionSubjectKeyAndTaggedAttributes)
{
    const Bytes spki = TestPublicKey();
    Bytes subject, body, decoded;
    std::string error;
    ASSERT_TRUE(zkt::EncodeSubjectName(L"CN=req", subject, error));
    ASSERT_TRUE(zkt::BuildRequestBody(subject, spki, {}, body));
    const CRYPT_SEQUENCE_OF_ANY* fields = Fields(body, decoded);
    ASSERT_EQ(4u, fields->cValue);
    EXPECT_EQ((Bytes{0x02, 0x01, 0x00}), Field(fields, 0));
    EXPECT_EQ(subject, Field(fields, 1));
    EXPECT_EQ(spki, Field(fields, 2));
    EXPECT_EQ((Bytes{0xA0, 0x00}), Field(fields, 3));  // [0] IMPLICIT SET OF, empty

    zkt::Extension names;
    ASSERT_TRUE(zkt::SubjectAltNames({L"a.example"}, names));
    ASSERT_TRUE(zkt::BuildRequestBody(subject, spki, {names}, body));
    fields = Fields(body, decoded);
    Bytes attributes = Field(fields, 3);
    ASSERT_EQ(0xA0, attributes[0]);
    attributes[0] = 0x31;  // back to the SET OF crypt32 wrote
    Bytes attrDecoded;
    ASSERT_TRUE(zkt::DecodeObject(PKCS_ATTRIBUTES, attributes.data(), attributes.size(), attrDecoded));
    const auto* attrs = zkt::DecodedAs<CRYPT_ATTRIBUTES>(attrDecoded);
    ASSERT_EQ(1u, attrs->cAttr);
    EXPECT_STREQ(szOID_RSA_certExtensions, attrs->rgAttr[0].pszObjId);
}

TEST(CertificateBody, SerialValidityExtensionsAndSignedWrapper)
{
    zkt::CertificateFields fields;
    std::string error;
    ASSERT_TRUE(zkt::EncodeSubjectName(L"CN=self", fields.subject, error));
    fields.subjectPublicKeyInfo = TestPublicKey();
    ASSERT_EQ(0, zkt::RandomSerialNumber(fields.serialNumber));
    ASSERT_EQ(16u, fields.serialNumber.size());
    EXPECT_EQ(0x40, fields.serialNumber.back() & 0xC0);
    zkt::ValidityFromNow(30, fields.notBefore, fields.notAfter);
    ASSERT_TRUE(zkt::ChooseSignatureAlgorithm(zkt::HashAlgorithm::Sha256, zkt::SignaturePadding::Pkcs1, fields.signature));
    zkt::Extension basic, usage, purposes;
    ASSERT_TRUE(zkt::EndEntityBasicConstraints(basic));
    ASSERT_TRUE(zkt::KeyUsageFor(zkt::kPurposeServerAuth, usage));
    ASSERT_TRUE(zkt::ExtendedKeyUsageFor(zkt::kPurposeCodeSigning | zkt::kPurposeClientAuth, purposes));
    EXPECT_FALSE(zkt::ExtendedKeyUsageFor(0, purposes));
    ASSERT_TRUE(zkt::ExtendedKeyUsageFor(zkt::kPurposeCodeSigning | zkt::kPurposeClientAuth, purposes));
    fields.extensions = {basic, usage, purposes};
    Bytes body, signedDer;
    ASSERT_TRUE(zkt::BuildCertificateBody(fields, body));
    // A made-up signature: the wrapper keeps its byte order.
    const Bytes signature = {0x01, 0x02, 0x03, 0x04};
    ASSERT_TRUE(zkt::WrapSigned(body, fields.signature, signature, signedDer));
    ASSERT_GT(signedDer.size(), 6u);
    EXPECT_EQ((Bytes{0x03, 0x05, 0x00, 0x01, 0x02, 0x03, 0x04}), Bytes(signedDer.end() - 7, signedDer.end()));

    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(X509_ASN_ENCODING, signedDer.data(), static_cast<DWORD>(signedDer.size()));
    ASSERT_NE(nullptr, cert);
    EXPECT_EQ(static_cast<DWORD>(CERT_V3), cert->pCertInfo->dwVersion);
    EXPECT_EQ(fields.serialNumber, Bytes(cert->pCertInfo->SerialNumber.pbData,
                                         cert->pCertInfo->SerialNumber.pbData + cert->pCertInfo->SerialNumber.cbData));
    BYTE keyUsage = 0;
    ASSERT_TRUE(CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert->pCertInfo, &keyUsage, 1));
    EXPECT_EQ(CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE, keyUsage);
    const CERT_EXTENSION* eku =
        CertFindExtension(szOID_ENHANCED_KEY_USAGE, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    ASSERT_NE(nullptr, eku);
    Bytes ekuDecoded;
    ASSERT_TRUE(zkt::DecodeObject(X509_ENHANCED_KEY_USAGE, eku->Value.pbData, eku->Value.cbData, ekuDecoded));
    const auto* usages = zkt::DecodedAs<CERT_ENHKEY_USAGE>(ekuDecoded);
    ASSERT_EQ(2u, usages->cUsageIdentifier);
    EXPECT_STREQ(szOID_PKIX_KP_CODE_SIGNING, usages->rgpszUsageIdentifier[0]);
    EXPECT_STREQ(szOID_PKIX_KP_CLIENT_AUTH, usages->rgpszUsageIdentifier[1]);
    CertFreeCertificateContext(cert);

    // And the certificate reads back from PEM and DER files' bytes.
    UniqueCertContext parsed;
    EXPECT_TRUE(zkt::CertificateFromBytes(signedDer, parsed, error)) << error;
}

TEST(CertificateFile, WhatIsNotACertificateIsNamed)
{
    UniqueCertContext parsed;
    std::string error;
    const std::string request = "-----BEGIN NEW CERTIFICATE REQUEST-----\nMAMCAQA=\n-----END NEW CERTIFICATE REQUEST-----\n";
    EXPECT_FALSE(zkt::CertificateFromBytes(Bytes(request.begin(), request.end()), parsed, error));
    EXPECT_NE(std::string::npos, error.find("\"NEW CERTIFICATE REQUEST\" block, not a certificate")) << error;
    const std::string badBase64 = "-----BEGIN CERTIFICATE-----\n@@@@\n-----END CERTIFICATE-----\n";
    EXPECT_FALSE(zkt::CertificateFromBytes(Bytes(badBase64.begin(), badBase64.end()), parsed, error));
    EXPECT_NE(std::string::npos, error.find("does not decode")) << error;
    EXPECT_FALSE(zkt::CertificateFromBytes(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, parsed, error));
    EXPECT_NE(std::string::npos, error.find("is not an X.509 certificate")) << error;
    EXPECT_FALSE(zkt::CertificateFromBytes(Bytes{'h', 'i'}, parsed, error));
    EXPECT_NE(std::string::npos, error.find("neither a PEM certificate nor DER")) << error;
    EXPECT_FALSE(zkt::CertificateFromBytes(Bytes{}, parsed, error));
    EXPECT_EQ(nullptr, parsed.get());
}

}  // namespace
