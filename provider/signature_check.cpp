#include "signature_check.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "unique_resource.h"

#include <bcrypt.h>

namespace {

bool Verifies(BCRYPT_KEY_HANDLE publicKey, const SignScheme& scheme, const BYTE* hash, DWORD hashLength,
                const BYTE* signature, DWORD signatureLength)
{
    BCRYPT_PKCS1_PADDING_INFO pkcs1{scheme.hashAlgorithm};
    BCRYPT_PSS_PADDING_INFO pss{scheme.hashAlgorithm, scheme.saltLength};
    void* padding = scheme.bcryptFlags == BCRYPT_PAD_PSS ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
    return BCryptVerifySignature(publicKey, padding, const_cast<PUCHAR>(hash), hashLength,
                                 const_cast<PUCHAR>(signature), signatureLength, scheme.bcryptFlags) >= 0;
}

// Under Wine a PSS verification leaves the key handle unusable for later
// PKCS#1 operations, so PSS is checked on a fresh import of the public half
// and the caller's handle stays as it was.
bool VerifiesOnCopy(const KeyHandle* key, const SignScheme& scheme, const BYTE* hash, DWORD hashLength,
                    const BYTE* signature, DWORD signatureLength)
{
    ULONG size = 0;
    if (BCryptExportKey(key->publicKey, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0) < 0) {
        return false;
    }
    HeapBlock blob(size);
    if (!blob ||
        BCryptExportKey(key->publicKey, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob.get(), size, &size, 0) < 0) {
        return false;
    }
    UniqueBcryptKey copy;
    if (BCryptImportKeyPair(key->rsaAlgorithm, nullptr, BCRYPT_RSAPUBLIC_BLOB, copy.Put(), blob.get(), size, 0) <
        0) {
        copy.Forget();
        return false;
    }
    return Verifies(copy.get(), scheme, hash, hashLength, signature, signatureLength);
}

}  // namespace

SECURITY_STATUS CheckReturnedSignature(const KeyHandle* key, const SignScheme& scheme, const BYTE* hash,
                                       DWORD hashLength, const BYTE* signature, DWORD signatureLength)
{
    // Every failure, BCrypt's included, is NTE_INTERNAL_ERROR by design and
    // not mapped: whatever went wrong, the reply is not a signature to hand out.
    if (!scheme.known) {
        return NTE_INTERNAL_ERROR;
    }
    const bool good = scheme.bcryptFlags == BCRYPT_PAD_PSS
                          ? VerifiesOnCopy(key, scheme, hash, hashLength, signature, signatureLength)
                          : Verifies(key->publicKey, scheme, hash, hashLength, signature, signatureLength);
    return good ? ZK_SUCCESS : NTE_INTERNAL_ERROR;
}
