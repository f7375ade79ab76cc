// Layout of one key file: the key's name and size in clear (so that "list"
// needs no decryption) and the DPAPI-protected private key blob.
//
// Format 2, written by create and import:
//   0        4 bytes  magic "ZKEY"
//   4        u32      format version (2)
//   8        u32      L: name length in bytes (UTF-16LE, no terminator)
//   12       L bytes  name
//   12 + L   u32      modulus length in bits (the protected blob says the same)
//   16 + L   u32      B: protected blob length
//   20 + L   B bytes  protected blob
//
// Format 1, written before the size was kept in clear, is still read: the
// same without the bits field (B at 12 + L, the blob at 16 + L).
//
// The file is exactly that long; anything else is a damaged file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

constexpr std::uint32_t kKeyFileVersion = 2;
constexpr std::uint32_t kKeyFileVersionWithoutBits = 1;

std::vector<std::uint8_t> BuildKeyFile(std::u16string_view name, std::uint32_t bits,
                                       std::span<const std::uint8_t> blob);

struct ParsedKeyFile {
    std::uint32_t version = 0;
    std::u16string name;
    std::uint32_t bits = 0;               // 0 in a format 1 file: only the protected blob knows
    std::span<const std::uint8_t> blob;   // points into the parsed content
};

// False for any content that is not exactly one well-formed key file.
bool ParseKeyFile(std::span<const std::uint8_t> content, ParsedKeyFile* out);

// The name of a damaged file, when at least its header and name are intact.
bool ReadKeyFileName(std::span<const std::uint8_t> content, std::u16string* name);
