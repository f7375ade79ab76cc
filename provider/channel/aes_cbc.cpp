#include "aes_cbc.h"

#include "ksp_status.h"
#include "protocol.h"
#include "unique_resource.h"

#include <bcrypt.h>

#include <cstring>

namespace {

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
    // Declared in this order so that they go in reverse: key, key object
    // (wiped), provider.
    UniqueBcryptAlgorithm algorithm;
    HeapBlock keyObject;
    UniqueBcryptKey aesKey;
    // BCrypt overwrites the IV it is given; work on a private copy.
    BYTE ivCopy[kMaxEnvelopeIvLength] = {};
    const ScopedWipe wipeIv(SizedBlock{ivCopy, sizeof(ivCopy)});
    std::memcpy(ivCopy, iv, ivLength);
    NTSTATUS st = BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_AES_ALGORITHM, nullptr, 0);
    if (st < 0) {
        algorithm.Forget();
        return st;
    }
    static const wchar_t kCbc[] = BCRYPT_CHAIN_MODE_CBC;
    st = BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                           reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kCbc)), sizeof(kCbc), 0);
    if (st < 0) {
        return st;
    }
    DWORD objectLength = 0;
    ULONG got = 0;
    st = BCryptGetProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                           sizeof(objectLength), &got, 0);
    if (st < 0) {
        return st;
    }
    keyObject = HeapBlock(objectLength);
    if (!keyObject) {
        return kStatusNoMemory;
    }
    st = BCryptGenerateSymmetricKey(algorithm.get(), aesKey.Put(), keyObject.get(), objectLength,
                                    const_cast<PUCHAR>(key), keyLength, 0);
    if (st < 0) {
        aesKey.Forget();
        return st;
    }
    // A zero-length result still gets a block, so callers can tell success.
    HeapBlock result(static_cast<size_t>(capacity));
    if (!result) {
        return kStatusNoMemory;
    }
    ULONG produced = 0;
    if (encrypt) {
        st = BCryptEncrypt(aesKey.get(), const_cast<PUCHAR>(input), inputLength, nullptr, ivCopy, ivLength,
                           result.get(), static_cast<ULONG>(capacity), &produced, pkcs7 ? BCRYPT_BLOCK_PADDING : 0);
    } else {
        // The padding is checked here, not by BCrypt: some implementations
        // accept a pad byte of 0 or pad bytes that disagree.
        st = BCryptDecrypt(aesKey.get(), const_cast<PUCHAR>(input), inputLength, nullptr, ivCopy, ivLength,
                           result.get(), static_cast<ULONG>(capacity), &produced, 0);
        if (st >= 0 && pkcs7 && !StripPkcs7(result.get(), &produced)) {
            st = kStatusDataError;
        }
    }
    if (st < 0) {
        return st;
    }
    // Destroyed here, not by the holder, so its failure is seen.
    st = BCryptDestroyKey(aesKey.Release());
    if (st < 0) {
        return st;
    }
    *out = static_cast<HeapBlock&&>(result);
    *outLength = produced;
    return 0;
}
