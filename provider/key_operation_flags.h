// Flag masks and key usage bits of the key operations.
#pragma once

#include <windows.h>

constexpr DWORD kEncryptDecryptFlags = 0x47;   // NO_PADDING, PAD_PKCS1, PAD_OAEP, SILENT
constexpr DWORD kSignVerifyFlags = 0x4A;       // PAD_PKCS1, PAD_PSS, SILENT
constexpr DWORD kExportFlags = 0x840;          // SILENT, EXPORT_LEGACY
constexpr DWORD kExportLegacyFlag = 0x800;     // NCRYPT_EXPORT_LEGACY_FLAG
constexpr DWORD kAllowDecryptUsage = 0x1;      // NCRYPT_ALLOW_DECRYPT_FLAG
constexpr DWORD kAllowSigningUsage = 0x2;      // NCRYPT_ALLOW_SIGNING_FLAG
