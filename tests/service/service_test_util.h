// Shared pieces of the signing service suites.
#pragma once

#include "temp_folder.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>
#include <string>
#include <vector>

std::vector<BYTE> RandomBytes(size_t n);

// PipeExchange with the reply copied out; the status of the exchange.
LONG ExchangeWithService(uint32_t code, const std::vector<BYTE>& payload, std::vector<BYTE>* reply);

// Imports an "RSAPUBLICBLOB"; null on failure.
BCRYPT_KEY_HANDLE ImportPublicKey(const std::vector<BYTE>& blob);

// The key file of `name` under `dataRoot`: the one whose content holds the name.
std::wstring FindKeyFile(const std::string& dataRoot, const wchar_t* name);

// Whole files: the support library's, under the names these suites use.
inline std::vector<BYTE> ReadAll(const std::wstring& path) { return zt::ReadFileBytes(path); }
inline bool WriteAll(const std::wstring& path, const std::vector<BYTE>& content)
{
    return zt::WriteFileBytes(path, content);
}
