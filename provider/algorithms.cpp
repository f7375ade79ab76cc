#include "entry_points.h"
#include "handles.h"
#include "heap_block.h"
#include "ksp_status.h"
#include "property_name.h"

#include <cstring>

namespace {

constexpr DWORD kAlgorithmQueryFlags = NCRYPT_SILENT_FLAG;
constexpr DWORD kAsymmetricEncryptionInterface = 3;  // NCRYPT_ASYMMETRIC_ENCRYPTION_INTERFACE
constexpr DWORD kAsymmetricEncryptionOperation = 0x4;
constexpr DWORD kSignatureOperation = 0x10;
constexpr wchar_t kRsaName[] = L"RSA";

// One block: the record, then the name, so a single FreeBuffer releases both.
SECURITY_STATUS BuildAlgorithmList(DWORD* count, NCryptAlgorithmName** list)
{
    auto* block = static_cast<BYTE*>(HeapAllocBytes(sizeof(NCryptAlgorithmName) + sizeof kRsaName));
    if (block == nullptr) {
        return NTE_NO_MEMORY;
    }
    auto* record = reinterpret_cast<NCryptAlgorithmName*>(block);
    auto* name = reinterpret_cast<wchar_t*>(block + sizeof(NCryptAlgorithmName));
    std::memcpy(name, kRsaName, sizeof kRsaName);
    record->pszName = name;
    record->dwClass = kAsymmetricEncryptionInterface;
    record->dwAlgOperations = kAsymmetricEncryptionOperation | kSignatureOperation;
    record->dwFlags = 0;
    *count = 1;
    *list = record;
    return ZK_SUCCESS;
}

}  // namespace

static_assert(sizeof kRsaName == 8);

SECURITY_STATUS WINAPI IsAlgSupported(NCRYPT_PROV_HANDLE hProvider, LPCWSTR pszAlgId, DWORD dwFlags)
{
    if (AsProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pszAlgId == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAlgorithmQueryFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    return PropertyNameEquals(pszAlgId, kRsaName) ? ZK_SUCCESS : NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI EnumAlgorithms(NCRYPT_PROV_HANDLE hProvider, DWORD dwAlgOperations, DWORD* pdwAlgCount,
                                      NCryptAlgorithmName** ppAlgList, DWORD dwFlags)
{
    if (AsProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pdwAlgCount == nullptr || ppAlgList == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kAlgorithmQueryFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if (dwAlgOperations != 0 &&
        (dwAlgOperations & (kAsymmetricEncryptionOperation | kSignatureOperation)) == 0) {
        return NTE_NOT_SUPPORTED;
    }
    return BuildAlgorithmList(pdwAlgCount, ppAlgList);
}
