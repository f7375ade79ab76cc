// Readable names for the statuses the tool can meet: NCrypt errors, the
// BCrypt NTSTATUS values a provider may pass through, and Win32 errors.
#pragma once

#include <windows.h>

namespace zkt {

// Name of a SECURITY_STATUS or NTSTATUS, e.g. "NTE_BAD_KEYSET"; nullptr if unknown.
const char* StatusName(LONG status);
// Name of a Win32 error code, e.g. "ERROR_FILE_NOT_FOUND"; nullptr if unknown.
const char* Win32ErrorName(DWORD error);

// "0x80090016 NTE_BAD_KEYSET", or "0x12345678 (unknown status)".
void FormatStatus(LONG status, char* out, size_t outSize);

}  // namespace zkt
