#include "hmac_sha256.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "protocol.h"
#include "status_mapping.h"
#include "unique_resource.h"

#include <bcrypt.h>

SECURITY_STATUS HmacSha256(const BYTE* key, uint32_t keyLength, const BYTE* data, uint32_t dataLength, BYTE* output)
{
    if (key == nullptr || keyLength == 0 || data == nullptr || output == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    // Declared in this order so that they go in reverse: hash, hash object
    // (wiped), provider.
    UniqueBcryptAlgorithm algorithm;
    HeapBlock hashObject;
    UniqueBcryptHash hash;
    NTSTATUS st = BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr,
                                              BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (st < 0) {
        algorithm.Forget();
        return MapBcryptStatus(st);
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    st = BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                           sizeof(objectLength), &got, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    hashObject = HeapBlock(objectLength);
    if (!hashObject) {
        return NTE_NO_MEMORY;
    }
    DWORD digestLength = 0;
    st = BCryptGetProperty(algorithm.get(), BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                           sizeof(digestLength), &got, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    if (digestLength != kDigestLength) {
        return NTE_INVALID_PARAMETER;
    }
    // BCrypt takes the key and data as non-const; it reads them only.
    st = BCryptCreateHash(algorithm.get(), hash.Put(), hashObject.get(), objectLength, const_cast<PUCHAR>(key),
                          keyLength, 0);
    if (st < 0) {
        hash.Forget();
        return MapBcryptStatus(st);
    }
    st = BCryptHashData(hash.get(), const_cast<PUCHAR>(data), dataLength, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    st = BCryptFinishHash(hash.get(), output, kDigestLength, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    // Destroyed here, not by the holder: its failure is the HMAC's failure.
    st = BCryptDestroyHash(hash.Release());
    return MapBcryptStatus(st);
}
