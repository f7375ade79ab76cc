// Key names: which names the store accepts, and the file name each maps to.
#pragma once

#include <string>

// Names the provider can send: 1 to 129 UTF-16 code units (260 bytes with
// the terminator), no NUL inside.
constexpr size_t kMaxKeyNameChars = 129;

bool IsValidKeyName(const std::wstring& name);

// "<64 hex digits>.key": the SHA-256 of the name's UTF-16LE bytes. Safe for
// any name (separators, reserved device names, case) and of fixed length.
// Empty on failure.
std::wstring KeyFileName(const std::wstring& name);
