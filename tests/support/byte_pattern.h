// Recognizable test data: first, first + step, first + 2 * step, ... (mod 256).
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace zt {

inline std::vector<BYTE> BytePattern(size_t n, BYTE first, BYTE step)
{
    std::vector<BYTE> v;
    v.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        v.push_back(static_cast<BYTE>(first + i * step));
    }
    return v;
}

}  // namespace zt
