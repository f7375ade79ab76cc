// A key of the benchmark's data root, read through the service's own key
// store (the file is DPAPI-protected for this same user) and imported here.
#pragma once

#include "unique_resource.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

namespace bench {

struct PrivateKey {
    bool Load(const wchar_t* name);

    UniqueBcryptKey key;
    ULONG bits = 0;
    std::vector<BYTE> publicBlob;  // "RSAPUBLICBLOB", as the service sends it
};

}  // namespace bench
