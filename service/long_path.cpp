#include "long_path.h"

#include <windows.h>

std::wstring ExtendedPath(const std::wstring& path)
{
    if (path.size() >= MAX_PATH - 12 && path.size() > 2 && path[1] == L':' && path[2] == L'\\') {
        return L"\\\\?\\" + path;
    }
    return path;
}
