// The provider DLL against the reference signing service running as a
// separate process on the real pipe, with keys of 2048 and 3072 bits.
#include "interposer.h"
#include "ksp_status.h"
#include "provider_loader.h"
#include "public_key_check.h"
#include "service_with_keys.h"
#include "test_key.h"
#include "wine_stand_ins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <string>
#include <vector>

namespace {

struct TestKey {
    const wchar_t* name;
    ULONG bits;
};
const TestKey kKeys[] = {{L"e2e-2048", 2048}, {L"e2e-3072", 3072}};
// Under Wine, once the service has made a PSS signature with a key, its later
// PKCS#1 signatures with that key fail (a Wine defect in the service process),
// so PSS gets keys of its own.
const TestKey kPssKeys[] = {{L"e2e-pss-2048", 2048}, {L"e2e-pss-3072", 3072}};

std::unique_ptr<zt::ServiceWithKeys> g_service;

// One service with its keys for the whole run.
class ServiceEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        g_service = std::make_unique<zt::ServiceWithKeys>();
        for (const TestKey& k : kKeys) {
            ASSERT_TRUE(g_service->CreateKey(k.name, k.bits)) << "create key";
        }
        for (const TestKey& k : kPssKeys) {
            ASSERT_TRUE(g_service->CreateKey(k.name, k.bits)) << "create key";
        }
        ASSERT_TRUE(g_service->Start()) << "start the signing service";
    }
    void TearDown() override { g_service.reset(); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(provider.ok());
        ASSERT_TRUE(g_service && g_service->running());
        ASSERT_EQ(0, provider->OpenProvider(&prov, L"Zentrava Key Storage Provider", 0));
    }
    void TearDown() override { EXPECT_EQ(0, provider->FreeProvider(prov)); }

    NCRYPT_KEY_HANDLE Open(const wchar_t* name)
    {
        NCRYPT_KEY_HANDLE key = 0;
        EXPECT_EQ(0, provider->OpenKey(prov, &key, name, 0, 0));
        return key;
    }
    std::vector<BYTE> Export(NCRYPT_KEY_HANDLE key, const wchar_t* type)
    {
        DWORD size = 0;
        EXPECT_EQ(0, provider->ExportKey(prov, key, 0, type, nullptr, nullptr, 0, &size, 0));
        std::vector<BYTE> blob(size);
        EXPECT_EQ(0, provider->ExportKey(prov, key, 0, type, nullptr, blob.data(), size, &size, 0));
        blob.resize(size);
        return blob;
    }
    std::vector<BYTE> Sign(NCRYPT_KEY_HANDLE key, void* padding, const std::vector<BYTE>& hash, DWORD flags, DWORD bytes)
    {
        std::vector<BYTE> sig(bytes + 16, 0xEE);
        DWORD size = 0;
        EXPECT_EQ(0, provider->SignHash(prov, key, padding, const_cast<BYTE*>(hash.data()), hash.size(), sig.data(),
                                        sig.size(), &size, flags));
        sig.resize(size);
        return sig;
    }

    zt::LoadedProvider provider;
    NCRYPT_PROV_HANDLE prov = 0;
};

using zt::BCryptVerifies;

TEST_F(EndToEnd, ExportedPublicBlobEqualsTheServicesKey)
{
    for (const TestKey& k : kKeys) {
        const std::vector<BYTE> expected = g_service->PublicBlobOf(k.name);
        ASSERT_FALSE(expected.empty());
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        EXPECT_EQ(expected, Export(key, L"RSAPUBLICBLOB"));
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

// Wine 8.0 refuses "PUBLICBLOB" exports of RSA keys; the stand-in answers
// that one export as Windows does.
TEST_F(EndToEnd, PublicBlobExportWithWineStandInForPublicBlobExport)
{
    for (const TestKey& k : kKeys) {
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::PublicBlobExport);
        ASSERT_TRUE(standIn.active());
        EXPECT_EQ(g_service->PublicBlobOf(k.name), Export(key, L"PUBLICBLOB"));
        EXPECT_EQ(L"PUBLICBLOB", zt::WindowsBCryptStandIn::LastBlobType());
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

TEST_F(EndToEnd, Pkcs1SignaturesVerifyWithProviderAndBCrypt)
{
    const wchar_t* hashes[] = {BCRYPT_SHA1_ALGORITHM, BCRYPT_SHA256_ALGORITHM, BCRYPT_SHA384_ALGORITHM,
                               BCRYPT_SHA512_ALGORITHM};
    for (const TestKey& k : kKeys) {
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        const std::vector<BYTE> blob = Export(key, L"RSAPUBLICBLOB");
        for (const wchar_t* alg : hashes) {
            SCOPED_TRACE(std::to_string(k.bits) + " bits, " + std::string(alg, alg + wcslen(alg)));
            const std::vector<BYTE> hash = zt::Sha(alg, "a message signed through the provider");
            BCRYPT_PKCS1_PADDING_INFO padding{alg};
            std::vector<BYTE> sig = Sign(key, &padding, hash, NCRYPT_PAD_PKCS1_FLAG, k.bits / 8);
            ASSERT_EQ(k.bits / 8, sig.size());
            EXPECT_EQ(0, provider->VerifySignature(prov, key, &padding, const_cast<BYTE*>(hash.data()), hash.size(),
                                                   sig.data(), sig.size(), NCRYPT_PAD_PKCS1_FLAG));
            EXPECT_TRUE(BCryptVerifies(blob, &padding, hash, sig, BCRYPT_PAD_PKCS1));
            sig[sig.size() / 2] ^= 0x10;
            EXPECT_EQ(NTE_BAD_SIGNATURE, provider->VerifySignature(prov, key, &padding, const_cast<BYTE*>(hash.data()),
                                                                   hash.size(), sig.data(), sig.size(),
                                                                   NCRYPT_PAD_PKCS1_FLAG));
        }
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

TEST_F(EndToEnd, EncryptThenDecryptRoundTrips)
{
    for (const TestKey& k : kKeys) {
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        std::string text = "round trip through " + std::to_string(k.bits) + " bits";
        std::vector<BYTE> message(text.begin(), text.end());
        std::vector<BYTE> cipher(k.bits / 8);
        DWORD size = 0;
        ASSERT_EQ(0, provider->Encrypt(prov, key, message.data(), message.size(), nullptr, cipher.data(), cipher.size(),
                                       &size, NCRYPT_PAD_PKCS1_FLAG));
        ASSERT_EQ(k.bits / 8, size);

        // The size query costs a whole exchange and hands back the plaintext size.
        DWORD needed = 0;
        ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), size, nullptr, nullptr, 0, &needed,
                                       NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(message.size(), needed);
        std::vector<BYTE> plain(needed + 8, 0xEE);
        DWORD got = 0;
        EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->Decrypt(prov, key, cipher.data(), size, nullptr, plain.data(),
                                                          needed - 1, &got, NCRYPT_PAD_PKCS1_FLAG));
        EXPECT_EQ(needed, got) << "the size needed is reported";
        EXPECT_EQ(0xEE, plain[0]);
        got = 0;
        ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), size, nullptr, plain.data(), plain.size(), &got,
                                       NCRYPT_PAD_PKCS1_FLAG));
        plain.resize(got);
        EXPECT_EQ(message, plain);
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

TEST_F(EndToEnd, SignatureBufferOneByteShort)
{
    NCRYPT_KEY_HANDLE key = Open(kKeys[0].name);
    ASSERT_NE(0u, key);
    std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "short");
    std::vector<BYTE> sig(255, 0xEE);
    DWORD size = 0xA5A5A5A5;
    EXPECT_EQ(NTE_BUFFER_TOO_SMALL, provider->SignHash(prov, key, nullptr, hash.data(), hash.size(), sig.data(), 255,
                                                       &size, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0xA5A5A5A5u, size) << "SignHash leaves the result length alone";
    EXPECT_EQ(std::vector<BYTE>(255, 0xEE), sig);
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

// Wine 8.0 lacks "SignatureLength" and "KeyLengths"; each has its stand-in.
TEST_F(EndToEnd, KeyPropertiesWithWineStandInsForKeyLengthsAndSignatureLength)
{
    for (const TestKey& k : kKeys) {
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        auto number = [&](const wchar_t* name) {
            DWORD value = 0xA5A5A5A5, size = 0;
            EXPECT_EQ(0, provider->GetKeyProperty(prov, key, name, reinterpret_cast<BYTE*>(&value), 4, &size, 0));
            EXPECT_EQ(4u, size);
            return value;
        };
        auto bytes = [&](const wchar_t* name) {
            DWORD size = 0;
            EXPECT_EQ(0, provider->GetKeyProperty(prov, key, name, nullptr, 0, &size, 0));
            std::vector<BYTE> out(size);
            EXPECT_EQ(0, provider->GetKeyProperty(prov, key, name, out.data(), size, &size, 0));
            return std::wstring(reinterpret_cast<const wchar_t*>(out.data()), size / 2);
        };
        EXPECT_EQ(k.bits, number(L"Length"));
        EXPECT_EQ(k.bits / 8, number(L"Block Length"));
        EXPECT_EQ(0u, number(L"Export Policy"));
        EXPECT_EQ(3u, number(L"Key Usage"));
        EXPECT_EQ(0u, number(L"Key Type"));
        EXPECT_EQ(std::wstring(L"RSA", 4), bytes(L"Algorithm Name"));
        EXPECT_EQ(std::wstring(L"RSA", 4), bytes(L"Algorithm Group"));
        const std::wstring withTerminator(k.name, wcslen(k.name) + 1);
        EXPECT_EQ(withTerminator, bytes(L"Name"));
        EXPECT_EQ(withTerminator, bytes(L"Unique Name"));
        {
            zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::KeyLengths);
            DWORD lengths[4] = {};
            DWORD size = 0;
            ASSERT_EQ(0, provider->GetKeyProperty(prov, key, L"Lengths", reinterpret_cast<BYTE*>(lengths), 16, &size, 0));
            EXPECT_EQ(512u, lengths[0]);
            EXPECT_EQ(16384u, lengths[1]);
            EXPECT_EQ(64u, lengths[2]);
            EXPECT_EQ(1024u, lengths[3]);
        }
        {
            zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::SignatureLength);
            DWORD size = 0;
            ASSERT_EQ(0, provider->SignHash(prov, key, nullptr, nullptr, 0, nullptr, 0, &size, NCRYPT_PAD_PKCS1_FLAG));
            EXPECT_EQ(k.bits / 8, size);
        }
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

TEST_F(EndToEnd, OpenKeyOfUnknownNameIsBadKeyset)
{
    NCRYPT_KEY_HANDLE key = 0x77;
    EXPECT_EQ(NTE_BAD_KEYSET, provider->OpenKey(prov, &key, L"no-such-key", 0, 0));
    EXPECT_EQ(0x77u, key);
}

// Every block that held a hash, signature, ciphertext or plaintext was zero
// when freed, nothing leaked, and no handle stayed open.
TEST_F(EndToEnd, RemoteOperationsWipeEveryPayloadAndLeakNothing)
{
    zt::Interposer spy(provider.module());
    NCRYPT_KEY_HANDLE key = Open(kKeys[0].name);
    ASSERT_NE(0u, key);

    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "watched hash");
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    const std::vector<BYTE> sig = Sign(key, &padding, hash, NCRYPT_PAD_PKCS1_FLAG, 256);
    ASSERT_EQ(256u, sig.size());

    const std::string text = "watched plaintext message";
    std::vector<BYTE> message(text.begin(), text.end());
    std::vector<BYTE> cipher(256);
    DWORD size = 0;
    ASSERT_EQ(0, provider->Encrypt(prov, key, message.data(), message.size(), nullptr, cipher.data(), 256, &size,
                                   NCRYPT_PAD_PKCS1_FLAG));
    std::vector<BYTE> plain(256);
    DWORD got = 0;
    ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), 256, nullptr, nullptr, 0, &got, NCRYPT_PAD_PKCS1_FLAG));
    ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), 256, nullptr, plain.data(), 256, &got, NCRYPT_PAD_PKCS1_FLAG));
    plain.resize(got);
    ASSERT_EQ(message, plain);
    EXPECT_EQ(0, provider->FreeKey(prov, key));

    spy.WatchSecret("hash", hash.data(), hash.size());
    spy.WatchSecret("signature", sig.data(), sig.size());
    spy.WatchSecret("ciphertext", cipher.data(), cipher.size());
    spy.WatchSecret("plaintext", message.data(), message.size());
    // Watching starts after the fact, so repeat the operations under watch.
    key = Open(kKeys[0].name);
    ASSERT_NE(0u, key);
    Sign(key, &padding, hash, NCRYPT_PAD_PKCS1_FLAG, 256);
    ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), 256, nullptr, plain.data(), 256, &got, NCRYPT_PAD_PKCS1_FLAG));
    ASSERT_EQ(0, provider->Decrypt(prov, key, cipher.data(), 256, nullptr, nullptr, 0, &got, NCRYPT_PAD_PKCS1_FLAG));
    EXPECT_EQ(0, provider->FreeKey(prov, key));

    EXPECT_TRUE(spy.SecretHits().empty()) << spy.SecretHits().front().label;
    // The provider's own heap blocks; DPAPI's blocks are the channel's concern.
    std::vector<zt::FreedBlock> unwiped;
    for (const zt::FreedBlock& block : spy.UnwipedFrees()) {
        if (block.by == zt::Fn::HeapFree) {
            unwiped.push_back(block);
        }
    }
    EXPECT_TRUE(unwiped.empty()) << zt::DescribeUnwiped(unwiped);
    EXPECT_EQ(0u, spy.LiveBlocks());
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Key));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Hash));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::File));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Event));
}

// The service signs PSS with the flags word only (the padding record does
// not travel), with a salt as long as the hash; the provider lets only such
// a record through.
TEST_F(EndToEnd, PssSignaturesVerifyWithProviderAndBCrypt)
{
    for (const TestKey& k : kPssKeys) {
        NCRYPT_KEY_HANDLE key = Open(k.name);
        ASSERT_NE(0u, key);
        const std::vector<BYTE> blob = Export(key, L"RSAPUBLICBLOB");
        const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "pss");
        BCRYPT_PSS_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM, 32};
        const std::vector<BYTE> sig = Sign(key, &padding, hash, NCRYPT_PAD_PSS_FLAG | NCRYPT_SILENT_FLAG, k.bits / 8);
        ASSERT_EQ(k.bits / 8, sig.size());
        EXPECT_EQ(0, provider->VerifySignature(prov, key, &padding, const_cast<BYTE*>(hash.data()), hash.size(),
                                               const_cast<BYTE*>(sig.data()), sig.size(), NCRYPT_PAD_PSS_FLAG));
        EXPECT_TRUE(BCryptVerifies(blob, &padding, hash, sig, BCRYPT_PAD_PSS));
        EXPECT_EQ(0, provider->FreeKey(prov, key));
    }
}

// What a caller may put in the padding record, seen from outside: every
// record the protocol can carry gives a signature that BCrypt verifies under
// that record; the others are refused before anything is sent.
TEST_F(EndToEnd, PaddingRecordsAreHonouredOrRefused)
{
    struct Hash {
        const wchar_t* alg;
        ULONG length;
    };
    const Hash pssHashes[] = {{BCRYPT_SHA256_ALGORITHM, 32}, {BCRYPT_SHA384_ALGORITHM, 48},
                              {BCRYPT_SHA512_ALGORITHM, 64}};  // Wine's BCrypt has no PSS over SHA-1
    NCRYPT_KEY_HANDLE pssKey = Open(kPssKeys[0].name);
    ASSERT_NE(0u, pssKey);
    const std::vector<BYTE> pssBlob = Export(pssKey, L"RSAPUBLICBLOB");
    for (const Hash& h : pssHashes) {
        SCOPED_TRACE(std::string(h.alg, h.alg + wcslen(h.alg)));
        const std::vector<BYTE> hash = zt::Sha(h.alg, "padding rules");
        BCRYPT_PSS_PADDING_INFO padding{h.alg, h.length};
        const std::vector<BYTE> sig = Sign(pssKey, &padding, hash, NCRYPT_PAD_PSS_FLAG, 256);
        EXPECT_TRUE(BCryptVerifies(pssBlob, &padding, hash, sig, BCRYPT_PAD_PSS));
    }
    EXPECT_EQ(0, provider->FreeKey(prov, pssKey));

    NCRYPT_KEY_HANDLE key = Open(kKeys[0].name);
    ASSERT_NE(0u, key);
    const std::vector<BYTE> blob = Export(key, L"RSAPUBLICBLOB");
    const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "padding rules");
    // No record: the service's choice, SHA-256 for 32 bytes, as before.
    const std::vector<BYTE> plain = Sign(key, nullptr, hash, NCRYPT_PAD_PKCS1_FLAG, 256);
    BCRYPT_PKCS1_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM};
    EXPECT_TRUE(BCryptVerifies(blob, &sha256, hash, plain, BCRYPT_PAD_PKCS1));

    BCRYPT_PSS_PADDING_INFO salt0{BCRYPT_SHA256_ALGORITHM, 0};
    BCRYPT_PSS_PADDING_INFO salt20{BCRYPT_SHA256_ALGORITHM, 20};
    BCRYPT_PKCS1_PADDING_INFO noAlg{nullptr};
    BCRYPT_PKCS1_PADDING_INFO sha1{BCRYPT_SHA1_ALGORITHM};
    struct Refused {
        const char* what;
        void* padding;
        DWORD flags;
    };
    const Refused refused[] = {{"PSS salt 0", &salt0, NCRYPT_PAD_PSS_FLAG},
                               {"PSS salt 20", &salt20, NCRYPT_PAD_PSS_FLAG},
                               {"PKCS#1 without algorithm", &noAlg, NCRYPT_PAD_PKCS1_FLAG},
                               {"PKCS#1 SHA-1 over a 32-byte hash", &sha1, NCRYPT_PAD_PKCS1_FLAG}};
    zt::Interposer spy(provider.module());
    for (const Refused& r : refused) {
        SCOPED_TRACE(r.what);
        std::vector<BYTE> sig(256, 0xEE);
        DWORD size = 0xA5A5A5A5;
        EXPECT_EQ(NTE_NOT_SUPPORTED, provider->SignHash(prov, key, r.padding, const_cast<BYTE*>(hash.data()), 32,
                                                        sig.data(), 256, &size, r.flags));
        EXPECT_EQ(0xA5A5A5A5u, size);
        EXPECT_EQ(std::vector<BYTE>(256, 0xEE), sig);
    }
    BCRYPT_OAEP_PADDING_INFO oaep256{BCRYPT_SHA256_ALGORITHM, nullptr, 0};
    std::vector<BYTE> cipher(256, 0x01);
    std::vector<BYTE> out(256);
    DWORD size = 0;
    EXPECT_EQ(NTE_NOT_SUPPORTED, provider->Decrypt(prov, key, cipher.data(), 256, &oaep256, out.data(), 256, &size,
                                                   NCRYPT_PAD_OAEP_FLAG));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileA)) << "a refused record reached the service";
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

// Several threads sign and decrypt with one key handle at once; each
// operation runs its own exchange and every result is right.
TEST_F(EndToEnd, ConcurrentOperationsOnOneKeyHandle)
{
    NCRYPT_KEY_HANDLE key = Open(kKeys[0].name);
    ASSERT_NE(0u, key);
    const std::vector<BYTE> blob = Export(key, L"RSAPUBLICBLOB");
    const std::string text = "concurrent";
    std::vector<BYTE> message(text.begin(), text.end());
    std::vector<BYTE> cipher(256);
    DWORD size = 0;
    ASSERT_EQ(0, provider->Encrypt(prov, key, message.data(), message.size(), nullptr, cipher.data(), 256, &size,
                                   NCRYPT_PAD_PKCS1_FLAG));
    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    int good[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::vector<BYTE> hash = zt::Sha(BCRYPT_SHA256_ALGORITHM, "thread " + std::to_string(t * 100 + i));
                BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
                std::vector<BYTE> sig(256);
                DWORD got = 0;
                const bool signedOk =
                    provider->SignHash(prov, key, &padding, const_cast<BYTE*>(hash.data()), hash.size(), sig.data(),
                                       256, &got, NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                    got == 256 && BCryptVerifies(blob, &padding, hash, sig, BCRYPT_PAD_PKCS1);
                std::vector<BYTE> plain(256);
                DWORD plainSize = 0;
                const bool decryptedOk =
                    provider->Decrypt(prov, key, cipher.data(), 256, nullptr, plain.data(), 256, &plainSize,
                                      NCRYPT_PAD_PKCS1_FLAG) == 0 &&
                    std::vector<BYTE>(plain.begin(), plain.begin() + plainSize) == message;
                good[t] += signedOk && decryptedOk ? 1 : 0;
            }
        });
    }
    for (std::thread& th : threads) {
        th.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(kRounds, good[t]) << "thread " << t;
    }
    EXPECT_EQ(0, provider->FreeKey(prov, key));
}

// The shared RSA handle is opened once for all keys and closed exactly once,
// at unload.
TEST(EndToEndUnload, SharedRsaHandleClosedOnceAtUnload)
{
    ASSERT_TRUE(g_service && g_service->running());
    zt::LoadedProvider provider;
    ASSERT_TRUE(provider.ok());
    zt::Interposer spy(provider.module());
    NCRYPT_PROV_HANDLE prov = 0;
    ASSERT_EQ(0, provider->OpenProvider(&prov, L"p", 0));
    NCRYPT_KEY_HANDLE a = 0, b = 0;
    ASSERT_EQ(0, provider->OpenKey(prov, &a, kKeys[0].name, 0, 0));
    ASSERT_EQ(0, provider->OpenKey(prov, &b, kKeys[1].name, 0, 0));
    EXPECT_EQ(0, provider->FreeKey(prov, a));
    EXPECT_EQ(0, provider->FreeKey(prov, b));
    EXPECT_EQ(0, provider->FreeProvider(prov));
    EXPECT_EQ(1u, spy.OpenHandles(zt::HandleKind::Algorithm)) << "only the shared RSA handle stays open";
    const size_t closesBefore = spy.CallCount(zt::Fn::BCryptCloseAlgorithmProvider);
    provider.Unload();
    EXPECT_EQ(closesBefore + 1, spy.CallCount(zt::Fn::BCryptCloseAlgorithmProvider));
    EXPECT_EQ(0u, spy.OpenHandles(zt::HandleKind::Algorithm));
    EXPECT_EQ(0u, spy.LiveBlocks());
}

}  // namespace
