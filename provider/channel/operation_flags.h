// Flags that travel in the operation payload, and the mask each operation
// accepts: the provider checks the caller's flags against it and sends them
// on unchanged; the service checks them again.
#pragma once

#include <windows.h>

constexpr DWORD kEncryptDecryptFlags = 0x47;  // NO_PADDING, PAD_PKCS1, PAD_OAEP, SILENT
constexpr DWORD kSignVerifyFlags = 0x4A;      // PAD_PKCS1, PAD_PSS, SILENT
