#include "hmac_sha256.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "protocol.h"
#include "status_mapping.h"

#include <bcrypt.h>

namespace {

struct HmacState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    HeapBlock hashObject;

    ~HmacState()
    {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        hashObject.Reset();
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

SECURITY_STATUS Compute(HmacState& s, const BYTE* key, uint32_t keyLength, const BYTE* data, uint32_t dataLength,
                        BYTE* output)
{
    NTSTATUS st = BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                              BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (st < 0) {
        s.algorithm = nullptr;
        return MapBcryptStatus(st);
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    st = BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                           sizeof(objectLength), &got, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    s.hashObject = HeapBlock(objectLength);
    if (!s.hashObject) {
        return NTE_NO_MEMORY;
    }
    DWORD digestLength = 0;
    st = BCryptGetProperty(s.algorithm, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                           sizeof(digestLength), &got, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    if (digestLength != kDigestLength) {
        return NTE_INVALID_PARAMETER;
    }
    // BCrypt takes the key and data as non-const; it reads them only.
    st = BCryptCreateHash(s.algorithm, &s.hash, s.hashObject.get(), objectLength, const_cast<PUCHAR>(key), keyLength,
                          0);
    if (st < 0) {
        s.hash = nullptr;
        return MapBcryptStatus(st);
    }
    st = BCryptHashData(s.hash, const_cast<PUCHAR>(data), dataLength, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    st = BCryptFinishHash(s.hash, output, kDigestLength, 0);
    if (st < 0) {
        return MapBcryptStatus(st);
    }
    st = BCryptDestroyHash(s.hash);
    s.hash = nullptr;
    return MapBcryptStatus(st);
}

}  // namespace

SECURITY_STATUS HmacSha256(const BYTE* key, uint32_t keyLength, const BYTE* data, uint32_t dataLength, BYTE* output)
{
    if (key == nullptr || keyLength == 0 || data == nullptr || output == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    HmacState state;
    return Compute(state, key, keyLength, data, dataLength, output);
}
