// Provider and key handle records and their validation. Key handles are made
// and destroyed in key_handle.cpp; provider handles by OpenProvider and
// FreeProvider (provider_handle.cpp).
#pragma once

#include "unique_resource.h"
#include "wire_codec.h"

#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <cstddef>
#include <cstdint>

constexpr uint32_t kProviderHandleTag = 0x53504C50;  // "PLPS" in memory
constexpr uint32_t kKeyHandleTag = 0x53504C4B;       // "KLPS" in memory
constexpr uint32_t kProviderHandleFixedSize = 40;
constexpr uint32_t kKeyHandleSize = 176;
constexpr uint32_t kMaxProviderNameBytes = 0xFFFF;
// A key name with its terminator: the wire library's longest key name + 1.
constexpr uint32_t kMaxKeyNameBytes = (kMaxKeyNameChars + 1) * sizeof(wchar_t);  // 260
// The longest names that fit those limits with their terminator. A length
// check reads at most one unit more than these, never up to a terminator
// that an over-long name may not have.
constexpr size_t kLongestProviderNameChars = kMaxProviderNameBytes / 2 - 1;  // 32766
constexpr size_t kLongestKeyNameChars = kMaxKeyNameChars;                    // 129
static_assert(kMaxKeyNameBytes == 260);
constexpr uint32_t kKeyUsageDecryptAndSign = 0x3;  // NCRYPT_ALLOW_DECRYPT_FLAG | NCRYPT_ALLOW_SIGNING_FLAG

// Both records have the same size for 32- and 64-bit programs: a reserved
// tail takes up what the narrower pointers leave free.
struct ProviderHandle {
    uint32_t length;  // 40 + bytes of the inline name
    uint32_t tag;
    wchar_t* providerName;  // inline copy at the end of this block
    BYTE* useContext;       // owned heap copy, or null
    uint32_t useContextSize;  // bytes held at useContext; reads never go past it
    BYTE reserved[kProviderHandleFixedSize - 3 * sizeof(uint32_t) - 2 * sizeof(void*)];
    // The provider name follows here.
};

struct KeyHandle {
    uint32_t length;
    uint32_t tag;
    wchar_t* keyName;  // owned heap copy, or null
    uint32_t keyLengthBits;
    uint32_t exportPolicy;
    uint32_t keyUsage;
    uint32_t publicKeyLoaded;
    BCRYPT_ALG_HANDLE rsaAlgorithm;  // shared; never closed through the key
    BCRYPT_KEY_HANDLE publicKey;     // owned, or null
    BYTE reserved[kKeyHandleSize - 6 * sizeof(uint32_t) - 3 * sizeof(void*)];
};

// The layout of each architecture, field by field.
#if defined(_WIN64)
static_assert(offsetof(ProviderHandle, providerName) == 8 && offsetof(ProviderHandle, useContext) == 16 &&
              offsetof(ProviderHandle, useContextSize) == 24 && offsetof(ProviderHandle, reserved) == 28);
static_assert(offsetof(KeyHandle, keyName) == 8 && offsetof(KeyHandle, keyLengthBits) == 16 &&
              offsetof(KeyHandle, exportPolicy) == 20 && offsetof(KeyHandle, keyUsage) == 24 &&
              offsetof(KeyHandle, publicKeyLoaded) == 28 && offsetof(KeyHandle, rsaAlgorithm) == 32 &&
              offsetof(KeyHandle, publicKey) == 40 && offsetof(KeyHandle, reserved) == 48);
#else
static_assert(offsetof(ProviderHandle, providerName) == 8 && offsetof(ProviderHandle, useContext) == 12 &&
              offsetof(ProviderHandle, useContextSize) == 16 && offsetof(ProviderHandle, reserved) == 20);
static_assert(offsetof(KeyHandle, keyName) == 8 && offsetof(KeyHandle, keyLengthBits) == 12 &&
              offsetof(KeyHandle, exportPolicy) == 16 && offsetof(KeyHandle, keyUsage) == 20 &&
              offsetof(KeyHandle, publicKeyLoaded) == 24 && offsetof(KeyHandle, rsaAlgorithm) == 28 &&
              offsetof(KeyHandle, publicKey) == 32 && offsetof(KeyHandle, reserved) == 36);
#endif
static_assert(offsetof(ProviderHandle, length) == 0 && offsetof(ProviderHandle, tag) == 4 &&
              sizeof(ProviderHandle) == kProviderHandleFixedSize);
static_assert(offsetof(KeyHandle, length) == 0 && offsetof(KeyHandle, tag) == 4 && sizeof(KeyHandle) == kKeyHandleSize);

// Returns the record if the value passes handle validation, else null.
// Inline: every entry point starts here, most of them cheap property reads.
inline ProviderHandle* AsProviderHandle(ULONG_PTR value)
{
    auto* handle = reinterpret_cast<ProviderHandle*>(value);
    if (handle == nullptr || handle->length < kProviderHandleFixedSize || handle->tag != kProviderHandleTag) {
        return nullptr;
    }
    return handle;
}

inline KeyHandle* AsKeyHandle(ULONG_PTR value)
{
    auto* handle = reinterpret_cast<KeyHandle*>(value);
    if (handle == nullptr || handle->length < kKeyHandleSize || handle->tag != kKeyHandleTag) {
        return nullptr;
    }
    return handle;
}

// Creates a key handle; the name may be null. On failure *out is untouched.
SECURITY_STATUS CreateKeyHandle(const wchar_t* keyName, KeyHandle** out);
// Releases everything the handle owns and the record itself.
SECURITY_STATUS DestroyKeyHandle(KeyHandle* key);

// A key handle not yet handed to the router: destroyed on every path that
// does not hand it out. DestroyKeyHandle's own status is not reported then.
struct KeyHandleTraits {
    using Type = KeyHandle*;
    static Type Empty() { return nullptr; }
    static bool IsEmpty(Type k) { return k == nullptr; }
    static void Release(Type k) { DestroyKeyHandle(k); }
};
using UniqueKeyHandle = UniqueResource<KeyHandleTraits>;

// Counts UTF-16 units before the terminator, stopping once the count exceeds
// `limit` so that an unterminated or huge string is never walked to its end.
inline size_t BoundedWideLength(const wchar_t* s, size_t limit)
{
    size_t n = 0;
    while (n <= limit && s[n] != L'\0') {
        ++n;
    }
    return n;
}
