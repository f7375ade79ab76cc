// The read protocol shared by provider and key properties.
#pragma once

#include <windows.h>
#include <ncrypt.h>

#include "ksp_status.h"

#include <cstring>

// Writes the size to *result, then: no output buffer is a size query (0);
// a smaller buffer gives NTE_BUFFER_TOO_SMALL; otherwise copies exactly
// `size` bytes of `value` to the start of `output`.
// Inline, like the name checks: a property read is little else.
inline SECURITY_STATUS WritePropertyValue(const void* value, DWORD size, PBYTE output, DWORD outputSize,
                                          DWORD* result)
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

// Size of a NUL-terminated UTF-16 value: 2 x units + 2.
inline DWORD WideValueSize(const wchar_t* s)
{
    size_t units = 0;
    while (s[units] != L'\0') {
        ++units;
    }
    return static_cast<DWORD>((units + 1) * sizeof(wchar_t));
}
