#include "property_value.h"

#include "ksp_status.h"

#include <cstring>

SECURITY_STATUS WritePropertyValue(const void* value, DWORD size, PBYTE output, DWORD outputSize, DWORD* result)
{
    *result = size;
    if (output == nullptr) {
        return ZK_SUCCESS;
    }
    if (outputSize < size) {
        return NTE_BUFFER_TOO_SMALL;
    }
    std::memcpy(output, value, size);
    return ZK_SUCCESS;
}

DWORD WideValueSize(const wchar_t* s)
{
    size_t units = 0;
    while (s[units] != L'\0') {
        ++units;
    }
    return static_cast<DWORD>((units + 1) * sizeof(wchar_t));
}
