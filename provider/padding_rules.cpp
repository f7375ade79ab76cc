#include "padding_rules.h"

#include "ksp_status.h"

namespace {

struct HashEntry {
    const wchar_t* name;
    DWORD digestLength;
};

constexpr HashEntry kHashes[] = {
    {BCRYPT_SHA1_ALGORITHM, 20},
    {BCRYPT_SHA256_ALGORITHM, 32},
    {BCRYPT_SHA384_ALGORITHM, 48},
    {BCRYPT_SHA512_ALGORITHM, 64},
};
const HashEntry* const kOaepHash = &kHashes[0];  // SHA-1, all the service decrypts OAEP with

// The algorithm identifier in any letter case, as BCrypt's own names are
// matched. Compares up to the candidate's terminator and stops at the first
// difference, so it never reads further than "SHA512" is long.
bool NamesAlgorithm(const wchar_t* name, const wchar_t* candidate)
{
    for (size_t i = 0;; ++i) {
        wchar_t c = name[i];
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        }
        if (c != candidate[i]) {
            return false;
        }
        if (candidate[i] == L'\0') {
            return true;
        }
    }
}

const HashEntry* HashNamed(const wchar_t* name)
{
    if (name == nullptr) {
        return nullptr;
    }
    for (const HashEntry& entry : kHashes) {
        if (NamesAlgorithm(name, entry.name)) {
            return &entry;
        }
    }
    return nullptr;
}

const HashEntry* HashOfLength(DWORD length)
{
    for (const HashEntry& entry : kHashes) {
        if (entry.digestLength == length) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

SECURITY_STATUS CheckSignPadding(const void* paddingInfo, DWORD hashLength, DWORD flags, SignScheme* scheme)
{
    *scheme = SignScheme{};
    const bool pss = (flags & NCRYPT_PAD_PSS_FLAG) != 0;
    const bool pkcs1 = (flags & NCRYPT_PAD_PKCS1_FLAG) != 0;
    if (pss && pkcs1) {
        return ZK_SUCCESS;  // contradictory: the service decides, nothing can be checked
    }
    if (paddingInfo != nullptr) {
        // Both records start with the algorithm identifier.
        const HashEntry* named = HashNamed(static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(paddingInfo)->pszAlgId);
        if (named == nullptr || named->digestLength != hashLength) {
            return NTE_NOT_SUPPORTED;
        }
        if (pss && static_cast<const BCRYPT_PSS_PADDING_INFO*>(paddingInfo)->cbSalt != hashLength) {
            return NTE_NOT_SUPPORTED;
        }
    }
    const HashEntry* inferred = HashOfLength(hashLength);
    if (inferred != nullptr) {
        scheme->known = true;
        scheme->bcryptFlags = pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
        scheme->hashAlgorithm = inferred->name;
        scheme->saltLength = pss ? hashLength : 0;
    }
    return ZK_SUCCESS;
}

SECURITY_STATUS CheckDecryptPadding(const void* paddingInfo, DWORD flags)
{
    const DWORD padding = flags & (NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG);
    if (padding != NCRYPT_PAD_OAEP_FLAG || paddingInfo == nullptr) {
        return ZK_SUCCESS;
    }
    const auto* oaep = static_cast<const BCRYPT_OAEP_PADDING_INFO*>(paddingInfo);
    const HashEntry* named = HashNamed(oaep->pszAlgId);
    if (named != kOaepHash || oaep->cbLabel != 0) {
        return NTE_NOT_SUPPORTED;
    }
    return ZK_SUCCESS;
}
