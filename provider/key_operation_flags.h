// Flag masks and key usage bits of the key operations. The masks of the
// remote operations are wire-relevant and live with the wire library.
#pragma once

#include "operation_flags.h"

#include <windows.h>

constexpr DWORD kExportFlags = 0x840;       // SILENT, EXPORT_LEGACY
constexpr DWORD kExportLegacyFlag = 0x800;  // NCRYPT_EXPORT_LEGACY_FLAG
constexpr DWORD kAllowDecryptUsage = 0x1;   // NCRYPT_ALLOW_DECRYPT_FLAG
constexpr DWORD kAllowSigningUsage = 0x2;   // NCRYPT_ALLOW_SIGNING_FLAG
