#include "aes_cbc.h"

#include "protocol.h"

#include <bcrypt.h>

#include <cstring>

namespace {

constexpr LONG kStatusNoMemory = static_cast<LONG>(0xC0000017L);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000DL);
constexpr LONG kStatusDataError = static_cast<LONG>(0xC000003EL);

// Checks PKCS#7 padding of whole blocks and drops it from the length. Every
// pad byte is examined whatever the pad length, so the time does not depend
// on where a bad byte sits.
bool StripPkcs7(const BYTE* data, ULONG* length)
{
    const ULONG n = *length;
    if (n == 0 || n % kAesBlockLength != 0) {
        return false;
    }
    const BYTE pad = data[n - 1];
    BYTE bad = static_cast<BYTE>(pad == 0 || pad > kAesBlockLength);
    for (ULONG i = 0; i < kAesBlockLength; ++i) {
        const BYTE inPad = static_cast<BYTE>(i < pad);
        bad = static_cast<BYTE>(bad | (inPad & static_cast<BYTE>(data[n - 1 - i] != pad)));
    }
    if (bad != 0) {
        return false;
    }
    *length = n - pad;
    return true;
}

struct AesState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    HeapBlock keyObject;
    BYTE iv[kMaxEnvelopeIvLength] = {};

    ~AesState()
    {
        if (key != nullptr) {
            BCryptDestroyKey(key);
        }
        keyObject.Reset();
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
        WipeBytes(iv, sizeof(iv));
    }
};

}  // namespace

LONG AesCbcTransform(bool encrypt, const BYTE* key, uint32_t keyLength, const BYTE* iv, uint32_t ivLength,
                     const BYTE* input, uint32_t inputLength, bool pkcs7, HeapBlock* out, uint32_t* outLength)
{
    out->Reset();
    *outLength = 0;
    // CBC needs exactly one block of IV; anything else cannot decrypt.
    if (ivLength != kAesBlockLength) {
        return kStatusInvalidParameter;
    }
    const uint64_t capacity = encrypt && pkcs7 ? PaddedLength(inputLength) : inputLength;
    if (capacity > 0xFFFFFFFFull) {
        return kStatusInvalidParameter;
    }
    AesState s;
    // BCrypt overwrites the IV it is given; work on a private copy.
    std::memcpy(s.iv, iv, ivLength);
    NTSTATUS st = BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (st < 0) {
        s.algorithm = nullptr;
        return st;
    }
    static const wchar_t kCbc[] = BCRYPT_CHAIN_MODE_CBC;
    st = BCryptSetProperty(s.algorithm, BCRYPT_CHAINING_MODE,
                           reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kCbc)), sizeof(kCbc), 0);
    if (st < 0) {
        return st;
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    st = BCryptGetProperty(s.algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                           sizeof(objectLength), &got, 0);
    if (st < 0) {
        return st;
    }
    s.keyObject = HeapBlock(objectLength);
    if (!s.keyObject) {
        return kStatusNoMemory;
    }
    st = BCryptGenerateSymmetricKey(s.algorithm, &s.key, s.keyObject.get(), objectLength, const_cast<PUCHAR>(key),
                                    keyLength, 0);
    if (st < 0) {
        s.key = nullptr;
        return st;
    }
    // A zero-length result still gets a block, so callers can tell success.
    HeapBlock result(static_cast<size_t>(capacity));
    if (!result) {
        return kStatusNoMemory;
    }
    ULONG produced = 0;
    if (encrypt) {
        st = BCryptEncrypt(s.key, const_cast<PUCHAR>(input), inputLength, nullptr, s.iv, ivLength, result.get(),
                           static_cast<ULONG>(capacity), &produced, pkcs7 ? BCRYPT_BLOCK_PADDING : 0);
    } else {
        // The padding is checked here, not by BCrypt: some implementations
        // accept a pad byte of 0 or pad bytes that disagree.
        st = BCryptDecrypt(s.key, const_cast<PUCHAR>(input), inputLength, nullptr, s.iv, ivLength, result.get(),
                           static_cast<ULONG>(capacity), &produced, 0);
        if (st >= 0 && pkcs7 && !StripPkcs7(result.get(), &produced)) {
            st = kStatusDataError;
        }
    }
    if (st < 0) {
        return st;
    }
    st = BCryptDestroyKey(s.key);
    s.key = nullptr;
    if (st < 0) {
        return st;
    }
    *out = static_cast<HeapBlock&&>(result);
    *outLength = produced;
    return 0;
}
