// The provider handle's "Use Context": stored as the caller gave it, read
// back as a NUL-terminated UTF-16 string bounded by the stored size.
#pragma once

#include "handles.h"

// Replaces the stored value with a copy of `size` bytes. On NTE_NO_MEMORY
// the handle is left with no value (the old one is already released).
SECURITY_STATUS StoreUseContext(ProviderHandle* provider, const BYTE* input, DWORD size);

// Wipes and frees the stored value, if any; the handle then holds none.
void ReleaseUseContext(ProviderHandle* provider);

// Reads the stored value as a property: the units before the first NUL unit
// within the stored bytes, then a terminator. A value stored without a NUL
// (or with size 0, or an odd trailing byte) is cut at the stored size, so
// nothing past the stored bytes is ever read. NTE_INTERNAL_ERROR if none is
// stored, with *result untouched.
SECURITY_STATUS ReadUseContext(const ProviderHandle* provider, PBYTE output, DWORD outputSize, DWORD* result);
