// RSA keys made by the test with BCrypt, and key handle records built around
// their public halves exactly as OpenKey leaves them, so the local operations
// and key properties of the real DLL can be driven without a signing service.
#pragma once

#include "handles.h"

#include <windows.h>
#include <bcrypt.h>

#include <string>
#include <vector>

namespace zt {

class TestRsaKey {
public:
    explicit TestRsaKey(ULONG bits);
    ~TestRsaKey();
    TestRsaKey(const TestRsaKey&) = delete;
    TestRsaKey& operator=(const TestRsaKey&) = delete;

    bool ok() const { return pair_ != nullptr; }
    ULONG bits() const { return bits_; }
    BCRYPT_KEY_HANDLE pair() const { return pair_; }
    const std::vector<BYTE>& publicBlob() const { return rsaPublicBlob_; }
    std::vector<BYTE> Sign(const std::vector<BYTE>& hash, void* padding, DWORD flags) const;
    std::vector<BYTE> DecryptPkcs1(const std::vector<BYTE>& ciphertext) const;

private:
    ULONG bits_;
    BCRYPT_ALG_HANDLE alg_ = nullptr;
    BCRYPT_KEY_HANDLE pair_ = nullptr;
    std::vector<BYTE> rsaPublicBlob_;
};

// A heap record shaped like the provider's key handle, holding its own
// imported public key. Never passed to FreeKey.
class ForgedKeyHandle {
public:
    ForgedKeyHandle(const TestRsaKey& key, const wchar_t* name);
    ~ForgedKeyHandle();
    ForgedKeyHandle(const ForgedKeyHandle&) = delete;
    ForgedKeyHandle& operator=(const ForgedKeyHandle&) = delete;

    NCRYPT_KEY_HANDLE handle() const { return reinterpret_cast<NCRYPT_KEY_HANDLE>(&record_); }
    KeyHandle& record() { return record_; }

private:
    KeyHandle record_{};
    std::wstring name_;
    BCRYPT_ALG_HANDLE alg_ = nullptr;
};

std::vector<BYTE> Sha(const wchar_t* algorithm, const std::string& data);

}  // namespace zt
