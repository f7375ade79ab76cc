// A key of the benchmark's data root, read through the service's own key
// store (the file is DPAPI-protected for this same user) and imported here.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace bench {

struct PrivateKey {
    PrivateKey() = default;
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;

    bool Load(const wchar_t* name);

    BCRYPT_KEY_HANDLE key = nullptr;
    ULONG bits = 0;
    std::vector<BYTE> publicBlob;  // "RSAPUBLICBLOB", as the service sends it
};

}  // namespace bench
