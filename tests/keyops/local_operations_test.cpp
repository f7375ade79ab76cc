// Encrypt, VerifySignature and ExportKey run on the imported public key only.
#include "forged_key_test.h"
#include "interposer.h"
#include "ksp_status.h"
#include "wine_stand_ins.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kUntouched = 0xA5A5A5A5;

class LocalOperations : public zt::ForgedKeyTest {};

TEST_F(LocalOperations, EncryptPkcs1DecryptsWithPrivateKey)
{
    std::vector<BYTE> message = {'h', 'e', 'l', 'l', 'o'};
    DWORD size = 0;
    // A NULL provider handle is fine: Encrypt does not look at it.
    ASSERT_EQ(0, provider->Encrypt(0, key->handle(), message.data(), 5, nullptr, nullptr, 0, &size, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(256u, size);
    std::vector<BYTE> cipher(size);
    ASSERT_EQ(0, provider->Encrypt(prov, key->handle(), message.data(), 5, nullptr, cipher.data(), size, &size,
                                   NCRYPT_PAD_PKCS1_FLAG | NCRYPT_SILENT_FLAG));
    EXPECT_EQ(message, rsa->DecryptPkcs1(cipher));
}

TEST_F(LocalOperations, EncryptCheckOrder)
{
    BYTE in[4] = {1, 2, 3, 4};
    BYTE out[256];
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->Encrypt(prov, prov, in, 4, nullptr, out, 256, &size, 2));
    key->record().publicKeyLoaded = 0;
    EXPECT_EQ(NTE_BAD_KEY_STATE, provider->Encrypt(0, key->handle(), nullptr, 0, nullptr, out, 256, nullptr, 0xFF));
    key->record().publicKeyLoaded = 1;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Encrypt(0, key->handle(), nullptr, 4, nullptr, out, 256, &size, 0xFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Encrypt(0, key->handle(), in, 0, nullptr, out, 256, &size, 0xFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->Encrypt(0, key->handle(), in, 4, nullptr, out, 256, nullptr, 0xFF));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->Encrypt(0, key->handle(), in, 4, nullptr, out, 256, &size, 0x8));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->Encrypt(0, key->handle(), in, 4, nullptr, out, 256, &size, 0x80));
    EXPECT_EQ(kUntouched, size);
    // BCrypt's own refusal comes back through the status mapping.
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->Encrypt(0, key->handle(), in, 4, nullptr, out, 255, &size, 2));
}

class VerifySignatureOps : public LocalOperations {};

TEST_F(VerifySignatureOps, Pkcs1AndPssVerifyAndOneFlippedBitFails)
{
    struct Case {
        const wchar_t* alg;
        bool pss;
    } cases[] = {{BCRYPT_SHA1_ALGORITHM, false},   {BCRYPT_SHA256_ALGORITHM, false}, {BCRYPT_SHA384_ALGORITHM, false},
                 {BCRYPT_SHA512_ALGORITHM, false}, {BCRYPT_SHA256_ALGORITHM, true}};
    for (const Case& c : cases) {
        std::vector<BYTE> hash = zt::Sha(c.alg, "message");
        BCRYPT_PKCS1_PADDING_INFO pkcs1{c.alg};
        BCRYPT_PSS_PADDING_INFO pss{c.alg, 32};
        void* padding = c.pss ? static_cast<void*>(&pss) : static_cast<void*>(&pkcs1);
        const DWORD flags = c.pss ? NCRYPT_PAD_PSS_FLAG : NCRYPT_PAD_PKCS1_FLAG;
        std::vector<BYTE> sig = rsa->Sign(hash, padding, flags);
        ASSERT_EQ(256u, sig.size());
        EXPECT_EQ(0, provider->VerifySignature(0, key->handle(), padding, hash.data(), hash.size(), sig.data(), sig.size(),
                                               flags | NCRYPT_SILENT_FLAG));
        sig[100] ^= 0x01;
        EXPECT_EQ(NTE_BAD_SIGNATURE, provider->VerifySignature(0, key->handle(), padding, hash.data(), hash.size(),
                                                               sig.data(), sig.size(), flags));
    }
}

TEST_F(VerifySignatureOps, CheckOrder)
{
    BYTE hash[32] = {};
    BYTE sig[256] = {};
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->VerifySignature(0, 0, nullptr, hash, 32, sig, 256, 2));
    key->record().publicKeyLoaded = 0;
    EXPECT_EQ(NTE_BAD_KEY_STATE, provider->VerifySignature(0, key->handle(), nullptr, nullptr, 0, sig, 256, 0xFF));
    key->record().publicKeyLoaded = 1;
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->VerifySignature(0, key->handle(), nullptr, nullptr, 32, sig, 256, 0xFF));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->VerifySignature(0, key->handle(), nullptr, hash, 0, sig, 256, 0xFF));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->VerifySignature(0, key->handle(), nullptr, hash, 32, sig, 256, 0x4));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->VerifySignature(0, key->handle(), nullptr, hash, 32, sig, 256, 0x1));
}

class ExportKeyOps : public LocalOperations {};

// Wine 8.0 refuses "PUBLICBLOB" exports of RSA keys (0xC0000002); the test
// stands in for that one export with the RSA public blob Windows gives.
TEST_F(ExportKeyOps, PublicBlobWithWineStandInForPublicBlobExport)
{
    zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::PublicBlobExport);
    ASSERT_TRUE(standIn.active());
    DWORD size = 0;
    ASSERT_EQ(0, provider->ExportKey(prov, key->handle(), 0, L"PUBLICBLOB", nullptr, nullptr, 0, &size, 0));
    std::vector<BYTE> blob(size);
    ASSERT_EQ(0, provider->ExportKey(prov, key->handle(), 0, L"PUBLICBLOB", nullptr, blob.data(), size, &size, 0));
    blob.resize(size);
    EXPECT_EQ(L"PUBLICBLOB", zt::WindowsBCryptStandIn::LastBlobType()) << "the caller's blob type goes to BCrypt unchanged";
    EXPECT_EQ(rsa->publicBlob(), blob);
}

TEST_F(ExportKeyOps, PublicBlobsEqualTheKeysPublicHalf)
{
    DWORD size = 0;
    ASSERT_EQ(0, provider->ExportKey(prov, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, nullptr, 0, &size, 0));
    std::vector<BYTE> blob(size);
    ASSERT_EQ(0, provider->ExportKey(prov, key->handle(), 0x1234, L"RSAPUBLICBLOB", nullptr, blob.data(), size, &size,
                                     NCRYPT_SILENT_FLAG));
    blob.resize(size);
    EXPECT_EQ(rsa->publicBlob(), blob);
    EXPECT_EQ(blob.size(), size);
}

TEST_F(ExportKeyOps, BlobTypesAndCheckOrder)
{
    BYTE out[1024];
    DWORD size = kUntouched;
    for (const wchar_t* type : {L"PRIVATEBLOB", L"RSAPRIVATEBLOB", L"RSAFULLPRIVATEBLOB", L"PKCS7_ENVELOPE",
                                L"PKCS8_PRIVATEKEY"}) {
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->ExportKey(prov, key->handle(), 0, type, nullptr, out, sizeof out, &size, 0));
    }
    for (const wchar_t* type : {L"rsapublicblob", L"RSAPUBLICBLOB ", L"RSAPUBLIC", L"", L"ECCPUBLICBLOB"}) {
        EXPECT_EQ(NTE_INVALID_PARAMETER,
                  provider->ExportKey(prov, key->handle(), 0, type, nullptr, out, sizeof out, &size, 0));
    }
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->ExportKey(prov, key->handle(), 0, nullptr, nullptr, out, sizeof out, &size, 0))
        << "a missing blob type";
    EXPECT_EQ(NTE_NOT_SUPPORTED,
              provider->ExportKey(prov, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, out, sizeof out, &size, 0x800));
    EXPECT_EQ(NTE_NOT_SUPPORTED, provider->ExportKey(prov, key->handle(), 0, nullptr, nullptr, out, sizeof out, &size, 0x840));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->ExportKey(prov, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, out, sizeof out, &size, 0x801));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->ExportKey(prov, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, out, sizeof out, nullptr, 0xF));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->ExportKey(0, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, out, sizeof out, &size, 0));
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->ExportKey(prov, 0, 0, L"RSAPUBLICBLOB", nullptr, out, sizeof out, &size, 0));
    EXPECT_EQ(kUntouched, size);
}

// No local operation allocates or talks to the pipe.
TEST_F(LocalOperations, TouchNoHeapAndNoPipe)
{
    zt::Interposer spy(provider.module());
    BYTE in[4] = {1, 2, 3, 4};
    std::vector<BYTE> out(256);
    DWORD size = 0;
    ASSERT_EQ(0, provider->Encrypt(0, key->handle(), in, 4, nullptr, out.data(), 256, &size, 2));
    ASSERT_EQ(0, provider->ExportKey(prov, key->handle(), 0, L"RSAPUBLICBLOB", nullptr, nullptr, 0, &size, 0));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::HeapAlloc));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileA));
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::BCryptEncrypt));
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::BCryptExportKey));
}

}  // namespace
