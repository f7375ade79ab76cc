#include "shared_rsa.h"

#include "ksp_status.h"
#include "status_mapping.h"

namespace {

BCRYPT_ALG_HANDLE g_sharedRsa = nullptr;
// Held only around the first open; the fast path reads the handle atomically.
SRWLOCK g_openLock = SRWLOCK_INIT;

BCRYPT_ALG_HANDLE LoadShared()
{
    return static_cast<BCRYPT_ALG_HANDLE>(
        InterlockedCompareExchangePointer(&g_sharedRsa, nullptr, nullptr));
}

}  // namespace

SECURITY_STATUS AcquireSharedRsaAlgorithm(BCRYPT_ALG_HANDLE* out)
{
    BCRYPT_ALG_HANDLE handle = LoadShared();
    if (handle == nullptr) {
        NTSTATUS status = 0;
        AcquireSRWLockExclusive(&g_openLock);
        handle = LoadShared();
        if (handle == nullptr) {
            BCRYPT_ALG_HANDLE opened = nullptr;
            status = BCryptOpenAlgorithmProvider(&opened, BCRYPT_RSA_ALGORITHM, nullptr, 0);
            if (status >= 0 && opened != nullptr) {
                InterlockedExchangePointer(&g_sharedRsa, opened);
                handle = opened;
            }
        }
        ReleaseSRWLockExclusive(&g_openLock);
        if (handle == nullptr) {
            return MapBcryptStatus(status < 0 ? status : kStatusUnsuccessful);
        }
    }
    *out = handle;
    return 0;
}

void CloseSharedRsaAlgorithm()
{
    auto handle = static_cast<BCRYPT_ALG_HANDLE>(InterlockedExchangePointer(&g_sharedRsa, nullptr));
    if (handle != nullptr) {
        BCryptCloseAlgorithmProvider(handle, 0);  // result ignored: nothing to do at unload
    }
}
