// Both ends of a private, overlapped byte-mode pipe in this process.
#pragma once

#include <windows.h>

namespace zt {

struct PipePair {
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;

    // `name` must be unique to the caller ("\\.\pipe\..."); 4096-byte buffers.
    explicit PipePair(const wchar_t* name);
    ~PipePair();
    PipePair(const PipePair&) = delete;
    PipePair& operator=(const PipePair&) = delete;

    bool ok() const { return server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE; }
};

}  // namespace zt
