// Padding records that SignHash and Decrypt refuse before any exchange,
// because only the flags word reaches the signing service, and the ones they
// pass on. No service runs here: a record that passes ends at the pipe (the
// exchange then fails; what counts is that it was tried).
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
constexpr BYTE kFill = 0xEE;

class PaddingRules : public zt::ForgedKeyTest {
protected:
    // One SignHash with the hash length given: its status, and whether it
    // tried the pipe, wrote anything or left anything behind.
    SECURITY_STATUS Sign(void* padding, DWORD hashLength, DWORD flags, bool* triedPipe)
    {
        std::vector<BYTE> hash(hashLength == 0 ? 1 : hashLength, 0x11);
        std::vector<BYTE> sig(256, kFill);
        DWORD size = kUntouched;
        zt::Interposer spy(provider.module());
        const SECURITY_STATUS status =
            provider->SignHash(0, key->handle(), padding, hash.data(), hashLength, sig.data(), 256, &size, flags);
        *triedPipe = spy.CallCount(zt::Fn::CreateFileA) != 0;
        EXPECT_EQ(kUntouched, size);
        EXPECT_EQ(std::vector<BYTE>(256, kFill), sig);
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_TRUE(spy.UnwipedFrees().empty());
        return status;
    }
    SECURITY_STATUS Decrypt(void* padding, DWORD flags, bool* triedPipe)
    {
        std::vector<BYTE> in(256, 0x22);
        std::vector<BYTE> out(256, kFill);
        DWORD size = kUntouched;
        zt::Interposer spy(provider.module());
        const SECURITY_STATUS status =
            provider->Decrypt(0, key->handle(), in.data(), 256, padding, out.data(), 256, &size, flags);
        *triedPipe = spy.CallCount(zt::Fn::CreateFileA) != 0;
        EXPECT_EQ(kUntouched, size);
        EXPECT_EQ(std::vector<BYTE>(256, kFill), out);
        EXPECT_EQ(0u, spy.LiveBlocks());
        return status;
    }
};

struct SignCase {
    const char* what;
    const wchar_t* alg;
    ULONG salt;
    DWORD hashLength;
    DWORD flags;
};

TEST_F(PaddingRules, SignRecordsTheServiceCannotHonourAreRefusedBeforeAnyExchange)
{
    const SignCase refused[] = {
        {"PKCS#1 with no algorithm", nullptr, 0, 32, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 MD5", L"MD5", 0, 16, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 SHA-256 over 20 bytes", BCRYPT_SHA256_ALGORITHM, 0, 20, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 SHA-1 over 32 bytes", BCRYPT_SHA1_ALGORITHM, 0, 32, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 \"SHA2\"", L"SHA2", 0, 32, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 \"SHA2560\"", L"SHA2560", 0, 32, NCRYPT_PAD_PKCS1_FLAG},
        {"no padding flag (PKCS#1), SHA-384 over 32 bytes", BCRYPT_SHA384_ALGORITHM, 0, 32, 0},
        {"PSS salt 0 on SHA-256", BCRYPT_SHA256_ALGORITHM, 0, 32, NCRYPT_PAD_PSS_FLAG},
        {"PSS salt 20 on SHA-256", BCRYPT_SHA256_ALGORITHM, 20, 32, NCRYPT_PAD_PSS_FLAG | NCRYPT_SILENT_FLAG},
        {"PSS salt 64 on SHA-512, 48-byte hash", BCRYPT_SHA512_ALGORITHM, 64, 48, NCRYPT_PAD_PSS_FLAG},
        {"PSS with no algorithm", nullptr, 32, 32, NCRYPT_PAD_PSS_FLAG},
    };
    for (const SignCase& c : refused) {
        SCOPED_TRACE(c.what);
        BCRYPT_PSS_PADDING_INFO record{c.alg, c.salt};  // starts like the PKCS#1 record
        bool triedPipe = true;
        EXPECT_EQ(NTE_NOT_SUPPORTED, Sign(&record, c.hashLength, c.flags, &triedPipe));
        EXPECT_FALSE(triedPipe);
    }
}

TEST_F(PaddingRules, SignRecordsTheServiceHonoursGoOnToTheExchange)
{
    const SignCase passed[] = {
        {"PKCS#1 SHA-1", BCRYPT_SHA1_ALGORITHM, 0, 20, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 SHA-256", BCRYPT_SHA256_ALGORITHM, 0, 32, NCRYPT_PAD_PKCS1_FLAG},
        {"PKCS#1 sha384, any letter case", L"sha384", 0, 48, NCRYPT_PAD_PKCS1_FLAG},
        {"no padding flag, SHA-512", BCRYPT_SHA512_ALGORITHM, 0, 64, 0},
        {"PSS SHA-256, salt 32", BCRYPT_SHA256_ALGORITHM, 32, 32, NCRYPT_PAD_PSS_FLAG},
        {"PSS SHA-1, salt 20", BCRYPT_SHA1_ALGORITHM, 20, 20, NCRYPT_PAD_PSS_FLAG},
        {"both padding flags: the record is not read", L"MD5", 0, 32, NCRYPT_PAD_PSS_FLAG | NCRYPT_PAD_PKCS1_FLAG},
    };
    for (const SignCase& c : passed) {
        SCOPED_TRACE(c.what);
        BCRYPT_PSS_PADDING_INFO record{c.alg, c.salt};
        bool triedPipe = false;
        EXPECT_NE(NTE_NOT_SUPPORTED, Sign(&record, c.hashLength, c.flags, &triedPipe));
        EXPECT_TRUE(triedPipe);
    }
    bool triedPipe = false;
    EXPECT_NE(NTE_NOT_SUPPORTED, Sign(nullptr, 36, NCRYPT_PAD_PKCS1_FLAG, &triedPipe)) << "no record: as before";
    EXPECT_TRUE(triedPipe);
}

// The record is looked at after every earlier check, and never by the size query.
TEST_F(PaddingRules, SignEarlierChecksComeFirst)
{
    BCRYPT_PKCS1_PADDING_INFO noAlg{nullptr};
    BYTE hash[32] = {};
    BYTE sig[256];
    DWORD size = kUntouched;
    const NCRYPT_KEY_HANDLE k = key->handle();
    EXPECT_EQ(NTE_INVALID_HANDLE, provider->SignHash(0, 0, &noAlg, hash, 32, sig, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(0, k, &noAlg, hash, 32, sig, 256, nullptr, 2));
    EXPECT_EQ(NTE_BAD_FLAGS, provider->SignHash(0, k, &noAlg, hash, 32, sig, 256, &size, NCRYPT_PAD_OAEP_FLAG));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(0, k, &noAlg, nullptr, 32, sig, 256, &size, 2));
    EXPECT_EQ(NTE_INVALID_PARAMETER, provider->SignHash(0, k, &noAlg, hash, 0xFFFFFFFFu, sig, 256, &size, 2));
    key->record().keyUsage = 0x1;
    EXPECT_EQ(NTE_PERM, provider->SignHash(0, k, &noAlg, hash, 32, sig, 256, &size, 2));
    key->record().keyUsage = 0x3;
    EXPECT_EQ(kUntouched, size);
    zt::WindowsBCryptStandIn standIn(provider.module(), zt::WineGap::SignatureLength);
    ASSERT_TRUE(standIn.active());
    EXPECT_EQ(0, provider->SignHash(0, k, &noAlg, hash, 20, nullptr, 0, &size, NCRYPT_PAD_PSS_FLAG));
    EXPECT_EQ(256u, size);
}

TEST_F(PaddingRules, DecryptOaepOnlyWithSha1AndNoLabel)
{
    BYTE label[4] = {'l', 'a', 'b', 'l'};
    struct Case {
        const char* what;
        BCRYPT_OAEP_PADDING_INFO record;
        DWORD flags;
        bool refused;
    };
    const Case cases[] = {
        {"OAEP SHA-256", {BCRYPT_SHA256_ALGORITHM, nullptr, 0}, NCRYPT_PAD_OAEP_FLAG, true},
        {"OAEP with no algorithm", {nullptr, nullptr, 0}, NCRYPT_PAD_OAEP_FLAG, true},
        {"OAEP SHA-1 with a label", {BCRYPT_SHA1_ALGORITHM, label, 4}, NCRYPT_PAD_OAEP_FLAG | NCRYPT_SILENT_FLAG, true},
        {"OAEP SHA-1", {BCRYPT_SHA1_ALGORITHM, nullptr, 0}, NCRYPT_PAD_OAEP_FLAG, false},
        {"OAEP sha1, label pointer of length 0", {L"sha1", label, 0}, NCRYPT_PAD_OAEP_FLAG, false},
        {"PKCS#1: the record is not read", {L"MD5", label, 4}, NCRYPT_PAD_PKCS1_FLAG, false},
        {"no padding: the record is not read", {L"MD5", label, 4}, NCRYPT_NO_PADDING_FLAG, false},
        {"OAEP and PKCS#1 at once: not read", {L"MD5", label, 4}, NCRYPT_PAD_OAEP_FLAG | NCRYPT_PAD_PKCS1_FLAG,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BCRYPT_OAEP_PADDING_INFO record = c.record;
        bool triedPipe = false;
        const SECURITY_STATUS status = Decrypt(&record, c.flags, &triedPipe);
        EXPECT_EQ(c.refused, status == NTE_NOT_SUPPORTED) << std::hex << status;
        EXPECT_EQ(!c.refused, triedPipe);
    }
    // Earlier checks first.
    BCRYPT_OAEP_PADDING_INFO sha256{BCRYPT_SHA256_ALGORITHM, nullptr, 0};
    std::vector<BYTE> in(257, 1);
    BYTE out[256];
    DWORD size = kUntouched;
    EXPECT_EQ(NTE_INVALID_PARAMETER,
              provider->Decrypt(0, key->handle(), in.data(), 257, &sha256, out, 256, &size, NCRYPT_PAD_OAEP_FLAG));
    key->record().keyUsage = 0x2;
    EXPECT_EQ(NTE_PERM,
              provider->Decrypt(0, key->handle(), in.data(), 256, &sha256, out, 256, &size, NCRYPT_PAD_OAEP_FLAG));
    key->record().keyUsage = 0x3;
    EXPECT_EQ(kUntouched, size);
}

}  // namespace
