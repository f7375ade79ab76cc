// Paths under long data roots.
#pragma once

#include <string>

// The extended form ("\\?\C:\...") for paths near or over the 260-character
// limit; other paths unchanged.
std::wstring ExtendedPath(const std::wstring& path);
