// Key names: which names the store accepts, and the file name each maps to.
#pragma once

#include "wire_codec.h"

#include <string>

// Names the store accepts: 1 to kMaxKeyNameChars UTF-16 code units (the
// wire library's limit, what a key handle holds), no NUL inside.

bool IsValidKeyName(const std::wstring& name);

// "<64 hex digits>.key": the SHA-256 of the name's UTF-16LE bytes. Safe for
// any name (separators, reserved device names, case) and of fixed length.
// Empty on failure.
std::wstring KeyFileName(const std::wstring& name);
