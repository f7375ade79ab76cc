// Exact, bounded matching of property names and other short identifiers.
#pragma once

#include "handles.h"

#include <windows.h>

constexpr size_t kMaxPropertyNameChars = 64;

// True if the name has more than 64 units before its terminator. Reads at
// most 65 units, so an unterminated name is never walked to its end.
inline bool PropertyNameTooLong(const wchar_t* name)
{
    return BoundedWideLength(name, kMaxPropertyNameChars) > kMaxPropertyNameChars;
}

// Compares unit by unit up to and including the candidate's terminator; case
// matters and a candidate followed by further units does not match. Stops at
// the first difference, so it never reads past the candidate's length.
// Inline: property reads are a handful of instructions besides this.
inline bool PropertyNameEquals(const wchar_t* name, const wchar_t* candidate)
{
    for (size_t i = 0;; ++i) {
        if (name[i] != candidate[i]) {
            return false;
        }
        if (candidate[i] == L'\0') {
            return true;
        }
    }
}
