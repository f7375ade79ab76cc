#include "rsa_key.h"

#include "ksp_status.h"
#include "raw_rsa.h"
#include "unique_resource.h"

namespace {

// Raw RSA where BCrypt has none: the key's own blob, exported for this one
// operation into a wiped block.
LONG RawDecryptFallback(BCRYPT_KEY_HANDLE key, const BYTE* input, ULONG inputLength, HeapBlock* plaintext,
                        ULONG* plaintextLength)
{
    ULONG size = 0;
    LONG status = BCryptExportKey(key, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &size, 0);
    if (status < 0) {
        return status;
    }
    HeapBlock blob(size);
    if (!blob) {
        return kStatusNoMemory;
    }
    status = BCryptExportKey(key, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, blob.get(), size, &size, 0);
    if (status < 0) {
        return status;
    }
    if (!RawRsaPrivate(blob.get(), size, input, inputLength, plaintext)) {
        return kStatusUnsuccessful;
    }
    *plaintextLength = static_cast<ULONG>(plaintext->size());
    return 0;
}

// One "RSA" provider for the whole process; opened on first use.
BCRYPT_ALG_HANDLE RsaAlgorithm()
{
    static BCRYPT_ALG_HANDLE alg = [] {
        BCRYPT_ALG_HANDLE h = nullptr;
        if (BCryptOpenAlgorithmProvider(&h, BCRYPT_RSA_ALGORITHM, nullptr, 0) < 0) {
            h = nullptr;
        }
        return h;
    }();
    return alg;
}

}  // namespace

LONG GenerateRsaPrivateBlob(ULONG bits, HeapBlock* blob)
{
    BCRYPT_ALG_HANDLE alg = RsaAlgorithm();
    if (alg == nullptr || !IsSupportedKeyBits(bits)) {
        return kStatusInvalidParameter;
    }
    UniqueBcryptKey key;
    LONG status = BCryptGenerateKeyPair(alg, key.Put(), bits, 0);
    if (status < 0) {
        key.Forget();
        return status;
    }
    status = BCryptFinalizeKeyPair(key.get(), 0);
    if (status < 0) {
        return status;
    }
    ULONG size = 0;
    status = BCryptExportKey(key.get(), nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &size, 0);
    if (status < 0) {
        return status;
    }
    HeapBlock out(size);
    if (!out) {
        return kStatusNoMemory;
    }
    ULONG written = 0;
    status = BCryptExportKey(key.get(), nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, out.get(), size, &written, 0);
    if (status < 0) {
        return status;
    }
    // Keep only what was written, still in a wiped block.
    HeapBlock exact(written);
    if (!exact) {
        return kStatusNoMemory;
    }
    memcpy(exact.get(), out.get(), written);
    *blob = static_cast<HeapBlock&&>(exact);
    return status;
}

LONG ImportRsaPrivateBlob(const BYTE* blob, ULONG length, BCRYPT_KEY_HANDLE* key, ULONG* bits)
{
    BCRYPT_ALG_HANDLE alg = RsaAlgorithm();
    if (alg == nullptr || length < sizeof(BCRYPT_RSAKEY_BLOB)) {
        return kStatusInvalidParameter;
    }
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, blob, sizeof(header));
    if (header.Magic != BCRYPT_RSAFULLPRIVATE_MAGIC) {
        return kStatusInvalidParameter;
    }
    LONG status = BCryptImportKeyPair(alg, nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, key,
                                      const_cast<PUCHAR>(blob), length, 0);
    if (status >= 0) {
        *bits = header.BitLength;
    }
    return status;
}

LONG ExportRsaPublicBlob(BCRYPT_KEY_HANDLE key, std::vector<BYTE>* blob)
{
    ULONG size = 0;
    LONG status = BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
    if (status < 0) {
        return status;
    }
    blob->assign(size, 0);
    ULONG written = 0;
    status = BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob->data(), size, &written, 0);
    if (status >= 0) {
        blob->resize(written);
    }
    return status;
}

LONG RsaSignHash(BCRYPT_KEY_HANDLE key, ULONG modulusBytes, SignPadding padding,
                 const wchar_t* hashAlgorithm, const BYTE* hash, ULONG hashLength,
                 HeapBlock* signature, ULONG* signatureLength)
{
    BCRYPT_PKCS1_PADDING_INFO pkcs1{hashAlgorithm};
    BCRYPT_PSS_PADDING_INFO pss{hashAlgorithm, hashLength};
    void* info = padding == SignPadding::Pss ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
    ULONG flags = padding == SignPadding::Pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1;
    HeapBlock out(modulusBytes);
    if (!out) {
        return kStatusNoMemory;
    }
    ULONG written = 0;
    LONG status = BCryptSignHash(key, info, const_cast<PUCHAR>(hash), hashLength, out.get(),
                                 modulusBytes, &written, flags);
    if (status >= 0) {
        *signature = static_cast<HeapBlock&&>(out);
        *signatureLength = written;
    }
    return status;
}

LONG RsaDecrypt(BCRYPT_KEY_HANDLE key, DecryptPadding padding, const BYTE* input,
                ULONG inputLength, HeapBlock* plaintext, ULONG* plaintextLength)
{
    BCRYPT_OAEP_PADDING_INFO oaep{BCRYPT_SHA1_ALGORITHM, nullptr, 0};
    void* info = nullptr;
    ULONG flags = BCRYPT_PAD_PKCS1;
    if (padding == DecryptPadding::None) {
        flags = BCRYPT_PAD_NONE;
    } else if (padding == DecryptPadding::Oaep) {
        flags = BCRYPT_PAD_OAEP;
        info = &oaep;
    }
    // The plaintext is never longer than the modulus, which is the input length.
    HeapBlock out(inputLength);
    if (!out) {
        return kStatusNoMemory;
    }
    ULONG written = 0;
    LONG status = BCryptDecrypt(key, const_cast<PUCHAR>(input), inputLength, info, nullptr, 0,
                                out.get(), inputLength, &written, flags);
    if (padding == DecryptPadding::None &&
        (status == kStatusNotImplemented || status == kStatusNotSupported)) {
        return RawDecryptFallback(key, input, inputLength, plaintext, plaintextLength);
    }
    if (status >= 0) {
        *plaintext = static_cast<HeapBlock&&>(out);
        *plaintextLength = written;
    }
    return status;
}
