#include "der_encode.h"

namespace zkt {

bool EncodeObject(LPCSTR type, const void* value, Bytes& der, DWORD flags)
{
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, flags, nullptr, nullptr, &size)) {
        return false;
    }
    der.assign(size, 0);
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, flags, nullptr, der.data(), &size)) {
        return false;
    }
    der.resize(size);
    return true;
}

bool DecodeObject(LPCSTR type, const uint8_t* der, size_t size, Bytes& decoded)
{
    DWORD length = 0;
    if (size > 0xFFFFFFFFu || !CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, static_cast<DWORD>(size), 0,
                                                   nullptr, nullptr, &length)) {
        return false;
    }
    decoded.assign(length, 0);
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, der, static_cast<DWORD>(size), 0, nullptr, decoded.data(),
                             &length)) {
        return false;
    }
    decoded.resize(length);
    return true;
}

bool SequenceOf(const std::vector<Bytes>& parts, Bytes& der)
{
    std::vector<CRYPT_DER_BLOB> blobs;
    for (const Bytes& part : parts) {
        blobs.push_back({static_cast<DWORD>(part.size()), const_cast<BYTE*>(part.data())});
    }
    CRYPT_SEQUENCE_OF_ANY sequence{static_cast<DWORD>(blobs.size()), blobs.data()};
    return EncodeObject(X509_SEQUENCE_OF_ANY, &sequence, der);
}

bool Retag(Bytes& der, uint8_t tag)
{
    if (der.empty()) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_EOD));
        return false;
    }
    der[0] = tag;
    return true;
}

bool ExplicitTag(unsigned number, const Bytes& inner, Bytes& der)
{
    constexpr uint8_t kContextConstructed = 0xA0;
    return number <= 30 && SequenceOf({inner}, der) && Retag(der, static_cast<uint8_t>(kContextConstructed | number));
}

bool AlgorithmIdentifierDer(const char* oid, const Bytes& params, Bytes& der)
{
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = const_cast<LPSTR>(oid);
    info.Algorithm.Parameters = {static_cast<DWORD>(params.size()), const_cast<BYTE*>(params.data())};
    Bytes encoded;
    Bytes decoded;
    if (!EncodeObject(X509_PUBLIC_KEY_INFO, &info, encoded) ||
        !DecodeObject(X509_SEQUENCE_OF_ANY, encoded.data(), encoded.size(), decoded)) {
        return false;
    }
    const auto* fields = DecodedAs<CRYPT_SEQUENCE_OF_ANY>(decoded);
    if (fields->cValue != 2) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return false;
    }
    der.assign(fields->rgValue[0].pbData, fields->rgValue[0].pbData + fields->rgValue[0].cbData);
    return true;
}

const Bytes& DerNull()
{
    static const Bytes kNull = {0x05, 0x00};
    return kNull;
}

}  // namespace zkt
