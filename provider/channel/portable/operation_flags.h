// Flags that travel in the operation payload, and the mask each operation
// accepts: the provider checks the caller's flags against it and sends them
// on unchanged; the service checks them again.
#pragma once

#include <cstdint>

constexpr std::uint32_t kEncryptDecryptFlags = 0x47;  // NO_PADDING, PAD_PKCS1, PAD_OAEP, SILENT
constexpr std::uint32_t kSignVerifyFlags = 0x4A;      // PAD_PKCS1, PAD_PSS, SILENT
