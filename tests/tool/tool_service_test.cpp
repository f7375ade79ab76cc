// The real tool exe against the real DLL and the real signing service: every
// command end to end, its output files checked independently with BCrypt
// and crypt32 on the service's own public key.
#include "child_process.h"
#include "service_with_keys.h"
#include "temp_folder.h"

#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

const wchar_t kKey2048[] = L"tool-key-2048";
const wchar_t kKey3072[] = L"tool-key-3072";

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

Bytes AsBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Hash(const wchar_t* algorithm, const std::string& data)
{
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    DWORD size = 0, got = 0;
    EXPECT_EQ(0, BCryptOpenAlgorithmProvider(&alg, algorithm, nullptr, 0));
    BCryptGetProperty(alg, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &got, 0);
    Bytes digest(size);
    EXPECT_EQ(0, BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(0, BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                static_cast<ULONG>(data.size()), 0));
    EXPECT_EQ(0, BCryptFinishHash(hash, digest.data(), size, 0));
    BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return digest;
}

// A BCrypt key made from a public blob, one per check (Wine mixes up a
// key's padding state across PSS verify and PKCS#1 encrypt).
class PublicKey {
public:
    explicit PublicKey(const Bytes& blob)
    {
        BCryptOpenAlgorithmProvider(&alg_, BCRYPT_RSA_ALGORITHM, nullptr, 0);
        BCryptImportKeyPair(alg_, nullptr, BCRYPT_RSAPUBLIC_BLOB, &key_, const_cast<PUCHAR>(blob.data()),
                            static_cast<ULONG>(blob.size()), 0);
    }
    ~PublicKey()
    {
        if (key_ != nullptr) BCryptDestroyKey(key_);
        if (alg_ != nullptr) BCryptCloseAlgorithmProvider(alg_, 0);
    }
    BCRYPT_KEY_HANDLE get() const { return key_; }

private:
    BCRYPT_ALG_HANDLE alg_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
};

class ToolWithService : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        service_ = new zt::ServiceWithKeys();
        ready_ = service_->CreateKey(kKey2048, 2048) && service_->CreateKey(kKey3072, 3072) && service_->Start();
    }
    static void TearDownTestSuite()
    {
        delete service_;
        service_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready_) << "signing service did not start"; }

    // The tool inherits this process's LOCALAPPDATA, which the service fixture
    // pointed at its data root, so both share the pipe secret.
    zt::ProgramRun Tool(const std::vector<std::wstring>& args)
    {
        return zt::RunProgram(zt::BesideExe(L"ZentravaKSPTool.exe"), args);
    }
    std::string Read(const wchar_t* name)
    {
        std::string bytes;
        EXPECT_TRUE(zt::ReadFileBytes(dir_.File(name), bytes)) << "missing output file";
        return bytes;
    }

    static zt::ServiceWithKeys* service_;
    static bool ready_;
    zt::TempFolder dir_;
};

zt::ServiceWithKeys* ToolWithService::service_ = nullptr;
bool ToolWithService::ready_ = false;

TEST_F(ToolWithService, KeyCommandShowsTheKeysProperties)
{
    zt::ProgramRun run = Tool({L"key", kKey2048});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    for (const char* line : {"Key \"tool-key-2048\" opened\n", "Name                     tool-key-2048\n",
                             "Unique Name              tool-key-2048\n", "Algorithm Name           RSA\n",
                             "Algorithm Group          RSA\n", "Length (bits)            2048\n",
                             "Block Length (bytes)     256\n", "Key Usage                0x00000003 decrypt sign\n",
                             "Export Policy            0x00000000", "Key Type                 0x00000000 (user key)\n"}) {
        EXPECT_TRUE(Contains(run.out, line)) << line << "\n" << run.out;
    }
    // Windows answers the RSA lengths; Wine cannot, and the tool says so.
    EXPECT_TRUE(Contains(run.out, "Lengths                  min ") ||
                Contains(run.out, "Lengths                  not available from the platform (0xC0000002 "
                                  "STATUS_NOT_IMPLEMENTED)"))
        << run.out;

    run = Tool({L"key", kKey3072});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, "Length (bits)            3072\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Block Length (bytes)     384\n")) << run.out;
}

TEST_F(ToolWithService, UnknownKeyIsReportedAsBadKeyset)
{
    const zt::ProgramRun run = Tool({L"key", L"no-such-key"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "OpenKey(\"no-such-key\") failed: 0x80090016 NTE_BAD_KEYSET")) << run.err;
}

// Every hash with both paddings: the tool's signature file verifies with
// BCrypt on the service's public key over the test's own digest, and the
// tool's verify command accepts it. PSS over SHA-1 is left out: Wine's BCrypt
// (GnuTLS) refuses to make such signatures, so the service cannot.
TEST_F(ToolWithService, SignaturesOfEveryHashAndPaddingVerifyIndependentlyExceptPssSha1OnWine)
{
    const std::string message = "The quick brown fox signs the lazy dog.\n";
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"message.txt"), message));
    const Bytes publicBlob = service_->PublicBlobOf(kKey2048);
    ASSERT_FALSE(publicBlob.empty());

    for (const wchar_t* hash : {L"SHA1", L"SHA256", L"SHA384", L"SHA512"}) {
        for (bool pss : {false, true}) {
            if (pss && wcscmp(hash, L"SHA1") == 0) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << (pss ? "PSS " : "PKCS1 ") << std::string(hash, hash + wcslen(hash)));
            std::vector<std::wstring> args = {L"sign", kKey2048, dir_.File(L"message.txt"), dir_.File(L"message.sig"),
                                              L"--hash", hash};
            if (pss) {
                args.push_back(L"--pss");
            }
            zt::ProgramRun run = Tool(args);
            ASSERT_EQ(0u, run.exitCode) << run.err;
            const Bytes signature = AsBytes(Read(L"message.sig"));
            ASSERT_EQ(256u, signature.size());

            const Bytes digest = Hash(hash, message);
            EXPECT_TRUE(Contains(run.out, "Digest")) << run.out;
            PublicKey key(publicBlob);
            BCRYPT_PKCS1_PADDING_INFO pkcs1{hash};
            BCRYPT_PSS_PADDING_INFO pssInfo{hash, static_cast<ULONG>(digest.size())};
            void* info = pss ? static_cast<void*>(&pssInfo) : static_cast<void*>(&pkcs1);
            EXPECT_EQ(0, BCryptVerifySignature(key.get(), info, const_cast<PUCHAR>(digest.data()),
                                               static_cast<ULONG>(digest.size()), const_cast<PUCHAR>(signature.data()),
                                               static_cast<ULONG>(signature.size()),
                                               pss ? BCRYPT_PAD_PSS : BCRYPT_PAD_PKCS1));

            args[0] = L"verify";
            run = Tool(args);
            EXPECT_EQ(0u, run.exitCode) << run.err;
            EXPECT_TRUE(Contains(run.out, " is valid for ")) << run.out;
        }
    }
}

TEST_F(ToolWithService, VerifyRejectsAlteredDataWrongHashAndWrongPadding)
{
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"data.bin"), "payload v1"));
    ASSERT_EQ(0u, Tool({L"sign", kKey3072, dir_.File(L"data.bin"), dir_.File(L"data.sig")}).exitCode);
    ASSERT_EQ(384u, Read(L"data.sig").size());
    ASSERT_EQ(0u, Tool({L"verify", kKey3072, dir_.File(L"data.bin"), dir_.File(L"data.sig")}).exitCode);

    const std::string rejected = "VerifySignature failed: 0x80090006 NTE_BAD_SIGNATURE";
    zt::ProgramRun run = Tool({L"verify", kKey3072, dir_.File(L"data.bin"), dir_.File(L"data.sig"), L"--hash", L"SHA384"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, rejected)) << run.err;

    run = Tool({L"verify", kKey3072, dir_.File(L"data.bin"), dir_.File(L"data.sig"), L"--pss"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, rejected)) << run.err;

    // The other key's public half does not accept it either.
    run = Tool({L"verify", kKey2048, dir_.File(L"data.bin"), dir_.File(L"data.sig")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "VerifySignature failed: 0x8009")) << run.err;

    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"data.bin"), "payload v2"));
    run = Tool({L"verify", kKey3072, dir_.File(L"data.bin"), dir_.File(L"data.sig")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, rejected)) << run.err;
    EXPECT_TRUE(Contains(run.out, "does NOT match")) << run.out;
}

TEST_F(ToolWithService, EncryptDecryptRoundTripsUpToTheLongestMessage)
{
    // 2048 bits: 256-byte blocks, at most 245 bytes of PKCS#1 v1.5 plaintext.
    for (size_t length : {size_t{1}, size_t{17}, size_t{245}}) {
        SCOPED_TRACE(length);
        std::string message(length, '\0');
        for (size_t i = 0; i < length; ++i) {
            message[i] = static_cast<char>(i * 37 + 11);
        }
        ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"plain.bin"), message));
        zt::ProgramRun run = Tool({L"encrypt", kKey2048, dir_.File(L"plain.bin"), dir_.File(L"cipher.bin")});
        ASSERT_EQ(0u, run.exitCode) << run.err;
        EXPECT_EQ(256u, Read(L"cipher.bin").size());
        run = Tool({L"decrypt", kKey2048, dir_.File(L"cipher.bin"), dir_.File(L"back.bin")});
        ASSERT_EQ(0u, run.exitCode) << run.err;
        EXPECT_EQ(message, Read(L"back.bin"));
    }

    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"plain.bin"), std::string(246, 'x')));
    const zt::ProgramRun run = Tool({L"encrypt", kKey2048, dir_.File(L"plain.bin"), dir_.File(L"cipher.bin")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "holds 246 bytes; this key encrypts at most 245 bytes")) << run.err;
}

TEST_F(ToolWithService, DecryptsCiphertextMadeElsewhereAndReportsGarbage)
{
    const Bytes publicBlob = service_->PublicBlobOf(kKey3072);
    ASSERT_FALSE(publicBlob.empty());
    const std::string message = "made by BCrypt, opened by the service";
    Bytes cipher(384);
    ULONG size = 0;
    {
        PublicKey key(publicBlob);
        ASSERT_EQ(0, BCryptEncrypt(key.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                                   static_cast<ULONG>(message.size()), nullptr, nullptr, 0, cipher.data(),
                                   static_cast<ULONG>(cipher.size()), &size, BCRYPT_PAD_PKCS1));
    }
    ASSERT_EQ(384u, size);
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"cipher.bin"), std::string(cipher.begin(), cipher.end())));
    zt::ProgramRun run = Tool({L"decrypt", kKey3072, dir_.File(L"cipher.bin"), dir_.File(L"plain.txt")});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(message, Read(L"plain.txt"));

    // Not a ciphertext of this key: the failure is named, nothing written.
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"junk.bin"), std::string(384, '\x5A')));
    run = Tool({L"decrypt", kKey3072, dir_.File(L"junk.bin"), dir_.File(L"junk.txt")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "Decrypt failed: 0x")) << run.err;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(dir_.File(L"junk.txt").c_str()));

    // A ciphertext of the wrong length never reaches the service.
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"short.bin"), std::string(100, '\x01')));
    run = Tool({L"decrypt", kKey3072, dir_.File(L"short.bin"), dir_.File(L"short.txt")});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "Decrypt failed: 0x80090027 NTE_INVALID_PARAMETER")) << run.err;
}

TEST_F(ToolWithService, ExportedBlobAndPemHoldTheServicesPublicKey)
{
    for (const wchar_t* name : {kKey2048, kKey3072}) {
        const Bytes expected = service_->PublicBlobOf(name);
        ASSERT_FALSE(expected.empty());

        zt::ProgramRun run = Tool({L"export", name, dir_.File(L"key.blob"), L"--format", L"blob"});
        ASSERT_EQ(0u, run.exitCode) << run.err;
        EXPECT_EQ(expected, AsBytes(Read(L"key.blob")));

        run = Tool({L"export", name, dir_.File(L"key.pem")});
        ASSERT_EQ(0u, run.exitCode) << run.err;
        EXPECT_TRUE(Contains(run.out, "as PEM SubjectPublicKeyInfo")) << run.out;
        const std::string pem = Read(L"key.pem");

        // PEM to standard output carries exactly the same text and nothing else.
        run = Tool({L"export", name, L"-"});
        ASSERT_EQ(0u, run.exitCode) << run.err;
        EXPECT_EQ(pem, run.out);

        DWORD derSize = 0;
        ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                         nullptr, &derSize, nullptr, nullptr));
        Bytes der(derSize);
        ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                         der.data(), &derSize, nullptr, nullptr));
        CERT_PUBLIC_KEY_INFO* info = nullptr;
        DWORD infoSize = 0;
        ASSERT_TRUE(CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), derSize,
                                        CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize));
        EXPECT_STREQ(szOID_RSA_RSA, info->Algorithm.pszObjId);
        BCRYPT_KEY_HANDLE key = nullptr;
        ASSERT_TRUE(CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, nullptr, &key));
        ULONG size = 0;
        ASSERT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0));
        Bytes decoded(size);
        ASSERT_EQ(0, BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, decoded.data(), size, &size, 0));
        EXPECT_EQ(expected, decoded);
        BCryptDestroyKey(key);
        LocalFree(info);
    }
}

}  // namespace
