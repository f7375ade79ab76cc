#include "public_key_check.h"

#include <bcrypt.h>

namespace zt {

bool BCryptVerifies(const std::vector<BYTE>& publicBlob, void* padding, const std::vector<BYTE>& hash,
                    const std::vector<BYTE>& signature, DWORD flags)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0) {
        return false;
    }
    bool ok = false;
    if (BCryptImportKeyPair(alg, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key, const_cast<BYTE*>(publicBlob.data()),
                            static_cast<ULONG>(publicBlob.size()), 0) == 0) {
        ok = BCryptVerifySignature(key, padding, const_cast<BYTE*>(hash.data()), static_cast<ULONG>(hash.size()),
                                   const_cast<BYTE*>(signature.data()), static_cast<ULONG>(signature.size()),
                                   flags) == 0;
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

}  // namespace zt
