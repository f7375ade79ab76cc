#include "entry_points.h"
#include "handles.h"
#include "key_operation_flags.h"
#include "ksp_status.h"
#include "status_mapping.h"

namespace {

SECURITY_STATUS EncryptWithPublicKey(const KeyHandle* key, PBYTE input, DWORD inputLength, VOID* paddingInfo,
                                     PBYTE output, DWORD outputSize, DWORD* result, DWORD flags)
{
    const NTSTATUS status = BCryptEncrypt(key->publicKey, input, inputLength, paddingInfo, nullptr, 0, output,
                                          outputSize, result, flags);
    return MapBcryptStatus(status);
}

}  // namespace

SECURITY_STATUS WINAPI Encrypt(NCRYPT_PROV_HANDLE /*hProvider*/, NCRYPT_KEY_HANDLE hKey, PBYTE pbInput, DWORD cbInput,
                               VOID* pPaddingInfo, PBYTE pbOutput, DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags)
{
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (key->publicKeyLoaded == 0) {
        return NTE_BAD_KEY_STATE;
    }
    if (pbInput == nullptr || cbInput == 0 || pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kEncryptDecryptFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    return EncryptWithPublicKey(key, pbInput, cbInput, pPaddingInfo, pbOutput, cbOutput, pcbResult, dwFlags);
}
