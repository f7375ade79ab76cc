#include "entry_points.h"
#include "ksp_status.h"

#include <type_traits>

// Constant data: every caller gets this one instance at the same address.
const NCRYPT_KEY_STORAGE_FUNCTION_TABLE g_keyStorageFunctionTable = {
    /* Version             */ {1, 0},
    /* OpenProvider        */ OpenProvider,
    /* OpenKey             */ OpenKey,
    /* CreatePersistedKey  */ NotSupportedCreatePersistedKey,
    /* GetProviderProperty */ GetProviderProperty,
    /* GetKeyProperty      */ GetKeyProperty,
    /* SetProviderProperty */ SetProviderProperty,
    /* SetKeyProperty      */ NotSupportedSetKeyProperty,
    /* FinalizeKey         */ NotSupportedFinalizeKey,
    /* DeleteKey           */ NotSupportedDeleteKey,
    /* FreeProvider        */ FreeProvider,
    /* FreeKey             */ FreeKey,
    /* FreeBuffer          */ FreeBuffer,
    /* Encrypt             */ Encrypt,
    /* Decrypt             */ Decrypt,
    /* IsAlgSupported      */ IsAlgSupported,
    /* EnumAlgorithms      */ EnumAlgorithms,
    /* EnumKeys            */ nullptr,
    /* ImportKey           */ NotSupportedImportKey,
    /* ExportKey           */ ExportKey,
    /* SignHash            */ SignHash,
    /* VerifySignature     */ VerifySignature,
    /* PromptUser          */ NotSupportedPromptUser,
    /* NotifyChangeKey     */ NotSupportedNotifyChangeKey,
    /* SecretAgreement     */ NotSupportedSecretAgreement,
    /* DeriveKey           */ NotSupportedDeriveKey,
    /* FreeSecret          */ NotSupportedFreeSecret,
    /* KeyDerivation       */ nullptr,
    /* CreateClaim         */ nullptr,
    /* VerifyClaim         */ nullptr,
};

extern "C" NTSTATUS WINAPI GetKeyStorageInterface(
    LPCWSTR pszProviderName, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable, DWORD dwFlags);
// The router calls it through this type; on 32-bit Windows a different
// calling convention would unbalance the caller's stack.
static_assert(std::is_same_v<decltype(&GetKeyStorageInterface), GetKeyStorageInterfaceFn>);

// The library's only export (see ZentravaKSP.def and ZentravaKSP_x86.def).
extern "C" NTSTATUS WINAPI GetKeyStorageInterface(
    LPCWSTR /*pszProviderName*/, NCRYPT_KEY_STORAGE_FUNCTION_TABLE** ppFunctionTable, DWORD /*dwFlags*/)
{
    if (ppFunctionTable == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    // The router's type is non-const; the table is never written through it.
    *ppFunctionTable = const_cast<NCRYPT_KEY_STORAGE_FUNCTION_TABLE*>(&g_keyStorageFunctionTable);
    return 0;
}
