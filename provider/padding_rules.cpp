#include "padding_rules.h"

#include "ksp_status.h"
#include "padding_values.h"

static_assert(kPadNoneFlag == NCRYPT_NO_PADDING_FLAG && kPadPkcs1Flag == NCRYPT_PAD_PKCS1_FLAG &&
              kPadOaepFlag == NCRYPT_PAD_OAEP_FLAG && kPadPssFlag == NCRYPT_PAD_PSS_FLAG);

namespace {

// The caller's algorithm identifier as the rules read it: up to its
// terminator, never more than kAlgorithmNameUnits units of it.
struct AlgorithmName {
    char16_t units[kAlgorithmNameUnits] = {};
    PaddingValues values;

    AlgorithmName(const wchar_t* name, ULONG length)
    {
        std::size_t n = 0;
        while (name != nullptr && n < kAlgorithmNameUnits && name[n] != L'\0') {
            units[n] = static_cast<char16_t>(name[n]);
            ++n;
        }
        values.algorithm = std::u16string_view(units, n);  // empty for a null identifier: it names no hash
        values.length = length;
    }
};

const wchar_t* BcryptHashName(HashAlgorithm hash)
{
    switch (hash) {
    case HashAlgorithm::Sha1: return BCRYPT_SHA1_ALGORITHM;
    case HashAlgorithm::Sha256: return BCRYPT_SHA256_ALGORITHM;
    case HashAlgorithm::Sha384: return BCRYPT_SHA384_ALGORITHM;
    case HashAlgorithm::Sha512: return BCRYPT_SHA512_ALGORITHM;
    default: return nullptr;
    }
}

}  // namespace

SECURITY_STATUS CheckSignPadding(const void* paddingInfo, DWORD hashLength, DWORD flags, SignScheme* scheme)
{
    *scheme = SignScheme{};
    const bool pss = (flags & NCRYPT_PAD_PSS_FLAG) != 0;
    const bool pkcs1 = (flags & NCRYPT_PAD_PKCS1_FLAG) != 0;
    SignRule rule;
    SECURITY_STATUS status;
    if (paddingInfo == nullptr || (pss && pkcs1)) {
        status = CheckSignPaddingValues(nullptr, hashLength, flags, &rule);
    } else {
        // Both records start with the algorithm identifier; only PSS has a salt.
        const auto* pkcs1Record = static_cast<const BCRYPT_PKCS1_PADDING_INFO*>(paddingInfo);
        const ULONG salt = pss ? static_cast<const BCRYPT_PSS_PADDING_INFO*>(paddingInfo)->cbSalt : 0;
        const AlgorithmName name(pkcs1Record->pszAlgId, salt);
        status = CheckSignPaddingValues(&name.values, hashLength, flags, &rule);
    }
    if (status == ZK_SUCCESS && rule.known) {
        scheme->known = true;
        scheme->bcryptFlags = rule.pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
        scheme->hashAlgorithm = BcryptHashName(rule.hash);
        scheme->saltLength = rule.saltLength;
    }
    return status;
}

SECURITY_STATUS CheckDecryptPadding(const void* paddingInfo, DWORD flags)
{
    const DWORD padding = flags & (NCRYPT_NO_PADDING_FLAG | NCRYPT_PAD_PKCS1_FLAG | NCRYPT_PAD_OAEP_FLAG);
    if (padding != NCRYPT_PAD_OAEP_FLAG || paddingInfo == nullptr) {
        return CheckDecryptPaddingValues(nullptr, flags);
    }
    const auto* oaep = static_cast<const BCRYPT_OAEP_PADDING_INFO*>(paddingInfo);
    const AlgorithmName name(oaep->pszAlgId, oaep->cbLabel);
    return CheckDecryptPaddingValues(&name.values, flags);
}
