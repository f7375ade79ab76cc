// Exact, bounded matching of property names and other short identifiers.
#pragma once

#include <windows.h>

constexpr size_t kMaxPropertyNameChars = 64;

// True if the name has more than 64 units before its terminator. Reads at
// most 65 units, so an unterminated name is never walked to its end.
bool PropertyNameTooLong(const wchar_t* name);

// Compares unit by unit up to and including the candidate's terminator; case
// matters and a candidate followed by further units does not match. Stops at
// the first difference, so it never reads past the candidate's length.
bool PropertyNameEquals(const wchar_t* name, const wchar_t* candidate);
