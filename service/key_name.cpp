#include "key_name.h"

#include "unique_resource.h"
#include "utf16_text.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdint>

namespace {

bool Sha256(const void* data, ULONG length, UCHAR (&digest)[32])
{
    UniqueBcryptAlgorithm alg;
    if (BCryptOpenAlgorithmProvider(alg.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
        alg.Forget();
        return false;
    }
    UniqueBcryptHash hash;
    if (BCryptCreateHash(alg.get(), hash.Put(), nullptr, 0, nullptr, 0, 0) < 0) {
        hash.Forget();
        return false;
    }
    return BCryptHashData(hash.get(), static_cast<PUCHAR>(const_cast<void*>(data)), length, 0) >= 0 &&
           BCryptFinishHash(hash.get(), digest, sizeof(digest), 0) >= 0;
}

}  // namespace

bool IsValidKeyName(const std::wstring& name)
{
    return IsValidKeyName(ToUtf16(name));
}

std::wstring KeyFileName(const std::wstring& name)
{
    UCHAR digest[32] = {};
    if (!IsValidKeyName(name) ||
        !Sha256(name.data(), static_cast<ULONG>(name.size() * sizeof(wchar_t)), digest)) {
        return {};
    }
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring out;
    out.reserve(68);
    for (UCHAR b : digest) {
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
    }
    out += L".key";
    return out;
}
