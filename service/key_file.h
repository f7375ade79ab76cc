// Layout of one key file: the key's name in clear (so that "list" needs no
// decryption) and the DPAPI-protected private key blob.
//
//   0        4 bytes  magic "ZKEY"
//   4        u32      format version (1)
//   8        u32      L: name length in bytes (UTF-16LE, no terminator)
//   12       L bytes  name
//   12 + L   u32      B: protected blob length
//   16 + L   B bytes  protected blob
//
// The file is exactly 16 + L + B bytes; anything else is a damaged file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr DWORD kKeyFileVersion = 1;

std::vector<BYTE> BuildKeyFile(const std::wstring& name, const BYTE* blob, size_t blobLength);

struct ParsedKeyFile {
    std::wstring name;
    const BYTE* blob = nullptr;  // points into the parsed content
    size_t blobLength = 0;
};

// False for any content that is not exactly one well-formed key file.
bool ParseKeyFile(const BYTE* content, size_t length, ParsedKeyFile* out);

// The name of a damaged file, when at least its header and name are intact.
bool ReadKeyFileName(const BYTE* content, size_t length, std::wstring* name);
