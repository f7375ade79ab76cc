// Text for the service's output: names and paths go out as UTF-8, so that a
// key name or a folder outside the ANSI code page comes out whole.
#pragma once

#include <string>

std::string Utf8(const std::wstring& text);
