#include "test_key.h"

#include <cstring>

namespace zt {

TestRsaKey::TestRsaKey(ULONG bits) : bits_(bits)
{
    if (BCryptOpenAlgorithmProvider(&alg_, BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0) {
        return;
    }
    if (BCryptGenerateKeyPair(alg_, &pair_, bits, 0) != 0 || BCryptFinalizeKeyPair(pair_, 0) != 0) {
        pair_ = nullptr;
        return;
    }
    ULONG size = 0;
    BCryptExportKey(pair_, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
    rsaPublicBlob_.resize(size);
    BCryptExportKey(pair_, nullptr, BCRYPT_RSAPUBLIC_BLOB, rsaPublicBlob_.data(), size, &size, 0);
    rsaPublicBlob_.resize(size);
}

TestRsaKey::~TestRsaKey()
{
    if (pair_ != nullptr) {
        BCryptDestroyKey(pair_);
    }
    if (alg_ != nullptr) {
        BCryptCloseAlgorithmProvider(alg_, 0);
    }
}

std::vector<BYTE> TestRsaKey::Sign(const std::vector<BYTE>& hash, void* padding, DWORD flags) const
{
    ULONG size = 0;
    std::vector<BYTE> sig(bits_ / 8);
    if (BCryptSignHash(pair_, padding, const_cast<BYTE*>(hash.data()), static_cast<ULONG>(hash.size()), sig.data(),
                       static_cast<ULONG>(sig.size()), &size, flags) != 0) {
        return {};
    }
    sig.resize(size);
    return sig;
}

std::vector<BYTE> TestRsaKey::DecryptPkcs1(const std::vector<BYTE>& ciphertext) const
{
    std::vector<BYTE> plain(ciphertext.size());
    ULONG size = 0;
    if (BCryptDecrypt(pair_, const_cast<BYTE*>(ciphertext.data()), static_cast<ULONG>(ciphertext.size()), nullptr,
                      nullptr, 0, plain.data(), static_cast<ULONG>(plain.size()), &size, BCRYPT_PAD_PKCS1) != 0) {
        return {};
    }
    plain.resize(size);
    return plain;
}

ForgedKeyHandle::ForgedKeyHandle(const TestRsaKey& key, const wchar_t* name) : name_(name ? name : L"")
{
    BCryptOpenAlgorithmProvider(&alg_, BCRYPT_RSA_ALGORITHM, nullptr, 0);
    record_.length = kKeyHandleSize;
    record_.tag = kKeyHandleTag;
    record_.keyName = name ? name_.data() : nullptr;
    record_.keyLengthBits = key.bits();
    record_.exportPolicy = 0;
    record_.keyUsage = kKeyUsageDecryptAndSign;
    record_.publicKeyLoaded = 1;
    record_.rsaAlgorithm = alg_;
    BCryptImportKeyPair(alg_, nullptr, BCRYPT_RSAPUBLIC_BLOB, &record_.publicKey,
                        const_cast<BYTE*>(key.publicBlob().data()), static_cast<ULONG>(key.publicBlob().size()), 0);
}

ForgedKeyHandle::~ForgedKeyHandle()
{
    if (record_.publicKey != nullptr) {
        BCryptDestroyKey(record_.publicKey);
    }
    if (alg_ != nullptr) {
        BCryptCloseAlgorithmProvider(alg_, 0);
    }
}

std::vector<BYTE> Sha(const wchar_t* algorithm, const std::string& data)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    std::vector<BYTE> out;
    if (BCryptOpenAlgorithmProvider(&alg, algorithm, nullptr, 0) != 0) {
        return out;
    }
    DWORD length = 0;
    ULONG got = 0;
    BCryptGetProperty(alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&length), sizeof length, &got, 0);
    out.resize(length);
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())), static_cast<ULONG>(data.size()), 0);
        BCryptFinishHash(hash, out.data(), length, 0);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return out;
}

}  // namespace zt
