// Checks made with BCrypt in the test itself, independent of the provider.
#pragma once

#include <windows.h>

#include <vector>

namespace zt {

// Verifies an RSA signature against the key's "RSAPUBLICBLOB".
bool BCryptVerifies(const std::vector<BYTE>& publicBlob, void* padding, const std::vector<BYTE>& hash,
                    const std::vector<BYTE>& signature, DWORD flags);

}  // namespace zt
