#include "entry_points.h"
#include "handles.h"
#include "key_operation_flags.h"
#include "ksp_status.h"
#include "status_mapping.h"

namespace {

SECURITY_STATUS VerifyWithPublicKey(const KeyHandle* key, VOID* paddingInfo, PBYTE hash, DWORD hashLength,
                                    PBYTE signature, DWORD signatureLength, DWORD flags)
{
    // A mismatch comes back as STATUS_INVALID_SIGNATURE, mapped to NTE_BAD_SIGNATURE.
    const NTSTATUS status =
        BCryptVerifySignature(key->publicKey, paddingInfo, hash, hashLength, signature, signatureLength, flags);
    return MapBcryptStatus(status);
}

}  // namespace

SECURITY_STATUS WINAPI VerifySignature(NCRYPT_PROV_HANDLE /*hProvider*/, NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo,
                                       PBYTE pbHashValue, DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature,
                                       DWORD dwFlags)
{
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (key->publicKeyLoaded == 0) {
        return NTE_BAD_KEY_STATE;
    }
    if (pbHashValue == nullptr || cbHashValue == 0) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kSignVerifyFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    return VerifyWithPublicKey(key, pPaddingInfo, pbHashValue, cbHashValue, pbSignature, cbSignature, dwFlags);
}
