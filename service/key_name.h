// Key names: which names the store accepts (key_name_rules.h), and the file
// name each maps to.
#pragma once

#include "key_name_rules.h"

#include <string>

// The store's rule for a name as Windows holds it.
bool IsValidKeyName(const std::wstring& name);

// "<64 hex digits>.key": the SHA-256 of the name's UTF-16LE bytes. Safe for
// any name (separators, reserved device names, case) and of fixed length.
// Empty on failure.
std::wstring KeyFileName(const std::wstring& name);
