#include "private_key_decode.h"

#include "legacy_rsa_blob.h"

#include <wincrypt.h>

#include <cstring>

bool DecodeIntoBlock(LPCSTR type, const BYTE* der, size_t size, DWORD flags, HeapBlock* decoded)
{
    DWORD length = 0;
    if (size > 0x7FFFFFFF ||
        !CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, static_cast<DWORD>(size), flags, nullptr, nullptr, &length)) {
        return false;
    }
    HeapBlock out(length);
    if (!out || !CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, static_cast<DWORD>(size), flags, nullptr,
                                     out.get(), &length)) {
        return false;
    }
    *decoded = static_cast<HeapBlock&&>(out);
    return true;
}

ImportOutcome FromLegacyBlob(const BYTE* legacy, size_t size, HeapBlock* fullBlob, ULONG* bits)
{
    if (size >= 12 && memcmp(legacy + 8, "RSA2", 4) != 0) {
        return Refuse(ImportResult::InputRefused, "holds a key that is not RSA");
    }
    std::uint32_t realBits = 0;
    if (!LegacyRsaToFullPrivateBlob({legacy, size}, fullBlob, &realBits)) {
        return Refuse(ImportResult::InputRefused, "holds an RSA key whose numbers do not have the sizes they must");
    }
    *bits = realBits;
    return {};
}

ImportOutcome DecodePkcs1(const BYTE* der, size_t size, HeapBlock* fullBlob, ULONG* bits)
{
    HeapBlock legacy;
    if (!DecodeIntoBlock(PKCS_RSA_PRIVATE_KEY, der, size, 0, &legacy)) {
        return Refuse(ImportResult::InputRefused, "is not a well-formed RSA private key (PKCS#1)");
    }
    return FromLegacyBlob(legacy.get(), legacy.size(), fullBlob, bits);
}

ImportOutcome DecodePkcs8(const BYTE* der, size_t size, HeapBlock* fullBlob, ULONG* bits)
{
    // PrivateKeyInfo ::= SEQUENCE { version INTEGER (0, or 1 with a public
    //   key), privateKeyAlgorithm AlgorithmIdentifier, privateKey OCTET STRING, ... }
    HeapBlock outer;
    if (!DecodeIntoBlock(X509_SEQUENCE_OF_ANY, der, size, CRYPT_DECODE_NOCOPY_FLAG, &outer)) {
        return Refuse(ImportResult::InputRefused, "is not a well-formed PKCS#8 key");
    }
    const auto* fields = reinterpret_cast<const CRYPT_SEQUENCE_OF_ANY*>(outer.get());
    HeapBlock version, algorithm, oid, octets;
    if (fields->cValue < 3 ||
        !DecodeIntoBlock(X509_INTEGER, fields->rgValue[0].pbData, fields->rgValue[0].cbData, 0, &version) ||
        !DecodeIntoBlock(X509_SEQUENCE_OF_ANY, fields->rgValue[1].pbData, fields->rgValue[1].cbData,
                         CRYPT_DECODE_NOCOPY_FLAG, &algorithm)) {
        return Refuse(ImportResult::InputRefused, "is not a well-formed PKCS#8 key");
    }
    int versionNumber = -1;
    memcpy(&versionNumber, version.get(), sizeof versionNumber);
    const auto* algorithmFields = reinterpret_cast<const CRYPT_SEQUENCE_OF_ANY*>(algorithm.get());
    if ((versionNumber != 0 && versionNumber != 1) || algorithmFields->cValue < 1 ||
        !DecodeIntoBlock(X509_OBJECT_IDENTIFIER, algorithmFields->rgValue[0].pbData, algorithmFields->rgValue[0].cbData,
                         0, &oid)) {
        return Refuse(ImportResult::InputRefused, "is not a well-formed PKCS#8 key");
    }
    const char* algorithmOid = *reinterpret_cast<const LPSTR*>(oid.get());
    if (strcmp(algorithmOid, szOID_RSA_RSA) != 0) {
        return Refuse(ImportResult::InputRefused,
                      std::string("holds a key of algorithm ") + algorithmOid + ", not rsaEncryption (" +
                          szOID_RSA_RSA + ")");
    }
    if (!DecodeIntoBlock(X509_OCTET_STRING, fields->rgValue[2].pbData, fields->rgValue[2].cbData,
                         CRYPT_DECODE_NOCOPY_FLAG, &octets)) {
        return Refuse(ImportResult::InputRefused, "is not a well-formed PKCS#8 key");
    }
    const auto* key = reinterpret_cast<const CRYPT_DATA_BLOB*>(octets.get());
    return DecodePkcs1(key->pbData, key->cbData, fullBlob, bits);
}
