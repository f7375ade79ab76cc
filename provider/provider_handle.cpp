#include "entry_points.h"
#include "handles.h"
#include "heap_block.h"
#include "ksp_status.h"
#include "use_context.h"

#include <cstring>

SECURITY_STATUS WINAPI OpenProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName, DWORD /*dwFlags*/)
{
    if (phProvider == nullptr || pszProviderName == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    const size_t chars = BoundedWideLength(pszProviderName, kLongestProviderNameChars);
    const size_t nameBytes = (chars + 1) * sizeof(wchar_t);
    if (nameBytes > kMaxProviderNameBytes) {
        return NTE_INVALID_PARAMETER;
    }
    const size_t total = kProviderHandleFixedSize + nameBytes;
    auto* provider = static_cast<ProviderHandle*>(HeapAllocBytes(total));
    if (provider == nullptr) {
        return NTE_NO_MEMORY;
    }
    std::memset(provider, 0, kProviderHandleFixedSize);
    provider->length = static_cast<uint32_t>(total);
    provider->tag = kProviderHandleTag;
    provider->providerName = reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(provider) + kProviderHandleFixedSize);
    std::memcpy(provider->providerName, pszProviderName, nameBytes);
    *phProvider = reinterpret_cast<NCRYPT_PROV_HANDLE>(provider);
    return ZK_SUCCESS;
}

SECURITY_STATUS WINAPI FreeProvider(NCRYPT_PROV_HANDLE hProvider)
{
    ProviderHandle* provider = AsProviderHandle(hProvider);
    if (provider == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    ReleaseUseContext(provider);
    WipeAndHeapFree(provider, provider->length);
    return ZK_SUCCESS;
}
