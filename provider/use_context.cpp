#include "use_context.h"

#include "heap_block.h"
#include "ksp_status.h"

#include <cstring>

void ReleaseUseContext(ProviderHandle* provider)
{
    if (provider->useContext != nullptr) {
        WipeAndHeapFree(provider->useContext, provider->useContextSize);
        provider->useContext = nullptr;
        provider->useContextSize = 0;
    }
}

SECURITY_STATUS StoreUseContext(ProviderHandle* provider, const BYTE* input, DWORD size)
{
    ReleaseUseContext(provider);
    auto* copy = static_cast<BYTE*>(HeapAllocBytes(size));
    if (copy == nullptr) {
        return NTE_NO_MEMORY;
    }
    if (size != 0) {
        std::memcpy(copy, input, size);
    }
    provider->useContext = copy;
    provider->useContextSize = size;
    return ZK_SUCCESS;
}

SECURITY_STATUS ReadUseContext(const ProviderHandle* provider, PBYTE output, DWORD outputSize, DWORD* result)
{
    if (provider->useContext == nullptr) {
        return NTE_INTERNAL_ERROR;
    }
    // The value's size, 2 x units + 2, must fit in 32 bits: a value of 4 GiB
    // without a NUL is cut one unit short of its end.
    constexpr DWORD kMaxUnits = (0xFFFFFFFFu - 2) / 2;
    const DWORD storedUnits = provider->useContextSize / 2 < kMaxUnits ? provider->useContextSize / 2 : kMaxUnits;
    DWORD units = 0;
    while (units < storedUnits) {
        wchar_t unit;
        std::memcpy(&unit, provider->useContext + 2 * units, sizeof unit);
        if (unit == L'\0') {
            break;
        }
        ++units;
    }
    const DWORD size = 2 * units + 2;
    *result = size;
    if (output == nullptr) {
        return ZK_SUCCESS;
    }
    if (outputSize < size) {
        return NTE_BUFFER_TOO_SMALL;
    }
    std::memcpy(output, provider->useContext, 2 * static_cast<size_t>(units));
    output[2 * units] = 0;
    output[2 * units + 1] = 0;
    return ZK_SUCCESS;
}
