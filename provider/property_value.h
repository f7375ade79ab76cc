// The read protocol shared by provider and key properties.
#pragma once

#include <windows.h>
#include <ncrypt.h>

// Writes the size to *result, then: no output buffer is a size query (0);
// a smaller buffer gives NTE_BUFFER_TOO_SMALL; otherwise copies exactly
// `size` bytes of `value` to the start of `output`.
SECURITY_STATUS WritePropertyValue(const void* value, DWORD size, PBYTE output, DWORD outputSize, DWORD* result);

// Size of a NUL-terminated UTF-16 value: 2 x units + 2.
DWORD WideValueSize(const wchar_t* s);
