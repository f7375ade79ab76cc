// ASN.1 through crypt32: every structure is encoded and decoded by
// CryptEncodeObjectEx and CryptDecodeObjectEx. What this file adds are the
// two compositions crypt32 has no structure type for, each one line of DER:
// a SEQUENCE of already encoded parts (X509_SEQUENCE_OF_ANY) and a changed
// outer tag, for [n] IMPLICIT and [n] EXPLICIT fields.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <vector>

namespace zkt {

using Bytes = std::vector<uint8_t>;

// CryptEncodeObjectEx with X509_ASN_ENCODING; false (GetLastError set) when
// crypt32 refuses.
bool EncodeObject(LPCSTR type, const void* value, Bytes& der, DWORD flags = 0);
// CryptDecodeObjectEx into `decoded`, which then holds the structure.
bool DecodeObject(LPCSTR type, const uint8_t* der, size_t size, Bytes& decoded);

template <typename T>
const T* DecodedAs(const Bytes& decoded)
{
    return reinterpret_cast<const T*>(decoded.data());
}

// SEQUENCE { parts... }
bool SequenceOf(const std::vector<Bytes>& parts, Bytes& der);

// The same encoding under another outer tag: SET OF to [0] IMPLICIT, for
// example. The content is untouched.
bool Retag(Bytes& der, uint8_t tag);

// [number] EXPLICIT inner: a constructed context tag around the encoding.
bool ExplicitTag(unsigned number, const Bytes& inner, Bytes& der);

// AlgorithmIdentifier { oid, params }. Wine has no X509_ALGORITHM_IDENTIFIER
// encoder; the SubjectPublicKeyInfo encoder writes the same field first, so
// it is taken from there.
bool AlgorithmIdentifierDer(const char* oid, const Bytes& params, Bytes& der);

// The DER of ASN.1 NULL, the parameters of the RSA algorithm identifiers.
const Bytes& DerNull();

}  // namespace zkt
