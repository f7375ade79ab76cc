#include "entry_points.h"
#include "handles.h"
#include "ksp_status.h"

SECURITY_STATUS WINAPI FreeKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey)
{
    if (AsProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    // The handle is gone even when destroying its public key failed.
    return DestroyKeyHandle(key);
}
