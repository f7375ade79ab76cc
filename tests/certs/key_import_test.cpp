// Keys made by OpenSSL, imported into the real signing service in every
// format it takes, then used through the real tool and DLL: OpenSSL
// verifies the signatures with the original public key.
#include "cert_test_files.h"
#include "service_with_keys.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Bytes = std::vector<BYTE>;

// ASCII: under Wine a PFX whose password has a non-ASCII letter does not
// open with it (Windows takes any UTF-16 password).
const char kPassword[] = "Pf8-s3cr3t w1th sp4ces";

class KeyImport : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        service_ = new zt::ServiceWithKeys();
        files_ = new zt::SharedFolder();
        ready_ = service_->Start() && MakeKeys();
    }
    static void TearDownTestSuite()
    {
        delete service_;
        delete files_;
        service_ = nullptr;
        files_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready_) << "service or OpenSSL keys not ready: " << made_; }

    static std::string Sh(const wchar_t* name) { return files_->Sh(name); }
    static std::wstring File(const wchar_t* name) { return files_->File(name); }

    // Every input the suite imports, made once by OpenSSL.
    static bool MakeKeys()
    {
        const std::string pw = zt::ShellQuote(std::string("pass:") + kPassword);
        const zt::ShellRun r = zt::RunShell(
            "set -e\n"
            "openssl genrsa -traditional -out " + Sh(L"rsa2048.pem") + " 2048\n"
            "openssl genrsa -traditional -out " + Sh(L"rsa3072.pem") + " 3072\n"
            "openssl genrsa -traditional -out " + Sh(L"rsa1024.pem") + " 1024\n"
            "openssl pkcs8 -topk8 -nocrypt -in " + Sh(L"rsa2048.pem") + " -out " + Sh(L"p8.pem") + "\n"
            "openssl pkcs8 -topk8 -nocrypt -in " + Sh(L"rsa3072.pem") + " -outform DER -out " + Sh(L"p8.der") + "\n"
            "openssl req -new -x509 -key " + Sh(L"rsa2048.pem") + " -subj /CN=imported -days 30 -out " + Sh(L"cert.pem") + "\n"
            "openssl pkcs12 -export -inkey " + Sh(L"rsa2048.pem") + " -in " + Sh(L"cert.pem") + " -passout " + pw +
            " -out " + Sh(L"aes.pfx") + "\n"
            "openssl req -new -x509 -key " + Sh(L"rsa3072.pem") + " -subj /CN=legacy -days 30 -out " + Sh(L"cert3072.pem") + "\n"
            "openssl pkcs12 -export -inkey " + Sh(L"rsa3072.pem") + " -in " + Sh(L"cert3072.pem") + " -passout " + pw +
            " -keypbe PBE-SHA1-3DES -certpbe PBE-SHA1-3DES -macalg sha1 -out " + Sh(L"des.pfx") + "\n"
            "openssl pkcs8 -topk8 -in " + Sh(L"rsa2048.pem") + " -passout pass:x -out " + Sh(L"encrypted-p8.pem") + "\n"
            "openssl pkcs8 -topk8 -in " + Sh(L"rsa2048.pem") + " -passout pass:x -outform DER -out " + Sh(L"encrypted-p8.der") + "\n"
            "openssl rsa -in " + Sh(L"rsa2048.pem") + " -aes128 -passout pass:x -traditional -out " + Sh(L"encrypted-pkcs1.pem") + "\n"
            "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Sh(L"ec.pem") + "\n"
            "openssl rsa -in " + Sh(L"rsa2048.pem") + " -pubout -out " + Sh(L"rsa2048.pub") + "\n"
            "openssl rsa -in " + Sh(L"rsa3072.pem") + " -pubout -out " + Sh(L"rsa3072.pub") + "\n"
            "printf '\\357\\273\\277%s\\r\\n' " + zt::ShellQuote(kPassword) + " > " + Sh(L"password.txt") + "\n"
            "printf 'wrong\\n' > " + Sh(L"wrong.txt") + "\n"
            "printf 'some text\\n' > " + Sh(L"data.txt") + "\n"
            "printf 'no key here' > " + Sh(L"garbage.bin") + "\n"
            ": > " + Sh(L"empty.pem") + "\n");
        made_ = r.output;
        return r.exitCode == 0;
    }

    zt::ProgramRun Import(const wchar_t* name, const wchar_t* file, std::vector<std::wstring> extra = {})
    {
        std::vector<std::wstring> args = {L"import", name, File(file)};
        args.insert(args.end(), extra.begin(), extra.end());
        return zt::RunServiceCommand(args, service_->dataRoot());
    }
    std::string List() { return zt::RunServiceCommand({L"list"}, service_->dataRoot()).out; }

    // Signs data.txt with the key through the tool and has OpenSSL check it
    // with the original public key.
    void ExpectOpenSslVerifiesSignature(const wchar_t* key, const wchar_t* publicKey, bool pss)
    {
        std::vector<std::wstring> args = {L"sign", key, File(L"data.txt"), File(L"data.sig")};
        if (pss) {
            args.insert(args.end(), {L"--pss", L"--hash", L"SHA384"});
        }
        const zt::ProgramRun signedRun = zt::RunTool(args);
        ASSERT_EQ(0u, signedRun.exitCode) << signedRun.err;
        const std::string options = pss ? "-sha384 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:48" : "-sha256";
        const zt::ShellRun check = zt::RunShell("openssl dgst " + options + " -verify " + Sh(publicKey) +
                                                " -signature " + Sh(L"data.sig") + " " + Sh(L"data.txt"));
        EXPECT_EQ(0, check.exitCode) << check.output;
        EXPECT_TRUE(zt::Contains(check.output, "Verified OK")) << check.output;
    }

    static zt::ServiceWithKeys* service_;
    static zt::SharedFolder* files_;
    static bool ready_;
    static std::string made_;
};

zt::ServiceWithKeys* KeyImport::service_ = nullptr;
zt::SharedFolder* KeyImport::files_ = nullptr;
bool KeyImport::ready_ = false;
std::string KeyImport::made_;

TEST_F(KeyImport, EveryFormatImportsAndSignsWhatOpenSslVerifiesWithTheOriginalKey)
{
    const struct {
        const wchar_t* name;
        const wchar_t* file;
        const wchar_t* publicKey;
        const char* bits;
        const char* format;
        bool pfx;
    } cases[] = {
        {L"from-pkcs8-pem", L"p8.pem", L"rsa2048.pub", "(2048 bits)", "(PKCS#8)", false},
        {L"from-pkcs8-der", L"p8.der", L"rsa3072.pub", "(3072 bits)", "(PKCS#8)", false},
        {L"from-pkcs1-pem", L"rsa2048.pem", L"rsa2048.pub", "(2048 bits)", "(PKCS#1)", false},
        {L"from-aes-pfx", L"aes.pfx", L"rsa2048.pub", "(2048 bits)", "(PFX)", true},
        {L"from-3des-pfx", L"des.pfx", L"rsa3072.pub", "(3072 bits)", "(PFX)", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        std::vector<std::wstring> extra;
        if (c.pfx) {
            extra = {L"--password-file", File(L"password.txt")};
        }
        const zt::ProgramRun run = Import(c.name, c.file, extra);
        ASSERT_EQ(0u, run.exitCode) << run.out;
        EXPECT_TRUE(zt::Contains(run.out, c.bits)) << run.out;
        EXPECT_TRUE(zt::Contains(run.out, c.format)) << run.out;
        ExpectOpenSslVerifiesSignature(c.name, c.publicKey, false);
        ExpectOpenSslVerifiesSignature(c.name, c.publicKey, true);
    }
    const std::string listed = List();
    EXPECT_TRUE(zt::Contains(listed, "from-pkcs8-der\t3072")) << listed;
    EXPECT_TRUE(zt::Contains(listed, "from-aes-pfx\t2048")) << listed;
}

// Stored exactly as create stores a key: format 2 with the size in clear,
// a protected RSAFULLPRIVATEBLOB whose public half is OpenSSL's modulus.
TEST_F(KeyImport, ImportedKeyIsStoredAsCreateStoresKeys)
{
    ASSERT_EQ(0u, Import(L"stored", L"rsa2048.pem").exitCode);
    ASSERT_TRUE(service_->CreateKey(L"created", 2048));
    const zt::ShellRun modulus = zt::RunShell("openssl rsa -in " + Sh(L"rsa2048.pem") + " -noout -modulus");
    ASSERT_EQ(0, modulus.exitCode);
    const Bytes blob = service_->PublicBlobOf(L"stored");  // from the key file: DPAPI, then BCrypt
    ASSERT_GT(blob.size(), sizeof(BCRYPT_RSAKEY_BLOB));
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, blob.data(), sizeof header);
    EXPECT_EQ(2048u, header.BitLength);
    const Bytes n(blob.begin() + sizeof header + header.cbPublicExp, blob.end());
    EXPECT_EQ("Modulus=" + zt::HexUpper(n) + "\n", modulus.output);

    // Both files have the same layout around their own name and blob.
    for (const wchar_t* name : {L"stored", L"created"}) {
        std::wstring folder(service_->dataRoot().begin(), service_->dataRoot().end());
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((folder + L"\\Zentrava\\keys\\*.key").c_str(), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        bool seen = false;
        do {
            std::string content;
            ASSERT_TRUE(zt::ReadFileBytes(folder + L"\\Zentrava\\keys\\" + found.cFileName, content));
            const size_t nameBytes = 2 * wcslen(name);
            if (content.size() > 20 + nameBytes &&
                memcmp(content.data() + 12, name, nameBytes) == 0 && static_cast<BYTE>(content[8]) == nameBytes) {
                seen = true;
                EXPECT_EQ(0, memcmp(content.data(), "ZKEY\x02\0\0\0", 8));
                EXPECT_EQ(2048, static_cast<BYTE>(content[12 + nameBytes]) |
                                    (static_cast<BYTE>(content[13 + nameBytes]) << 8));
            }
        } while (!seen && FindNextFileW(h, &found));
        FindClose(h);
        EXPECT_TRUE(seen);
    }
}

TEST_F(KeyImport, PfxCertificateIsWrittenBesideAndLinksToTheImportedKey)
{
    const auto containers = [] {
        std::vector<std::string> names;
        HCRYPTPROV prov = 0;
        if (!CryptAcquireContextW(&prov, nullptr, MS_ENHANCED_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            return names;
        }
        char name[1024];
        DWORD size = sizeof name;
        for (DWORD flag = CRYPT_FIRST; CryptGetProvParam(prov, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flag);
             flag = 0, size = sizeof name) {
            names.push_back(name);
        }
        CryptReleaseContext(prov, 0);
        return names;
    };
    const std::vector<std::string> before = containers();
    const zt::ProgramRun run =
        Import(L"with-cert", L"aes.pfx", {L"--password-file", File(L"password.txt"), L"--cert-out", File(L"out.pem")});
    ASSERT_EQ(0u, run.exitCode) << run.out;
    EXPECT_TRUE(zt::Contains(run.out, "certificate written to ")) << run.out;
    EXPECT_EQ(before, containers()) << "the PFX import left a key container behind";

    EXPECT_EQ(zt::CertificateHashOf(File(L"cert.pem")), zt::CertificateHashOf(File(L"out.pem")));
    zt::TestStore store;
    const zt::ProgramRun linked = zt::RunTool({L"link-cert", L"with-cert", File(L"out.pem"), L"--store", store.name()});
    EXPECT_EQ(0u, linked.exitCode) << linked.err;
    EXPECT_EQ(1u, store.CertificateCount());
}

TEST_F(KeyImport, RefusedInputsWriteNothing)
{
    const struct {
        const wchar_t* file;
        std::vector<std::wstring> extra;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {L"rsa1024.pem", {}, 9, "holds a 1024-bit key"},
        {L"encrypted-p8.pem", {}, 8, "holds an encrypted key (PEM \"ENCRYPTED PRIVATE KEY\")"},
        {L"encrypted-pkcs1.pem", {}, 8, "holds an encrypted key (PEM \"RSA PRIVATE KEY\")"},
        {L"encrypted-p8.der", {}, 8, "holds an encrypted PKCS#8 key"},
        {L"aes.pfx", {}, 10, "needs its password: give --password-file"},
        {L"aes.pfx", {L"--password-file", L"WRONG"}, 10, "did not open with that password"},
        {L"aes.pfx", {L"--password-file", L"MISSING"}, 8, "(the password file) cannot be opened"},
        {L"cert.pem", {}, 8, "holds a PEM \"CERTIFICATE\" block, not an RSA private key"},
        {L"ec.pem", {}, 8, "not rsaEncryption"},
        {L"garbage.bin", {}, 8, "is neither PEM nor a DER"},
        {L"empty.pem", {}, 8, "is empty"},
        {L"absent.pem", {}, 8, "cannot be opened (Win32 error 2)"},
        {L"rsa2048.pem", {L"--cert-out", L"CERTOUT"}, 1, "is PKCS#1 and carries no certificate for --cert-out"},
    };
    const std::string listedBefore = List();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        std::vector<std::wstring> extra = c.extra;
        for (std::wstring& e : extra) {
            if (e == L"WRONG") e = File(L"wrong.txt");
            if (e == L"MISSING") e = File(L"no-password-here.txt");
            if (e == L"CERTOUT") e = File(L"refused-cert.pem");
        }
        const zt::ProgramRun run = Import(L"refused", c.file, extra);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.out;
        EXPECT_TRUE(zt::Contains(run.out, c.says)) << run.out;
        EXPECT_TRUE(zt::Contains(run.out, "nothing was imported")) << run.out;
        EXPECT_EQ(listedBefore, List());
        EXPECT_FALSE(files_->Exists(L"refused-cert.pem"));
    }
    // A name that is taken stays as it is.
    ASSERT_EQ(0u, Import(L"taken", L"p8.pem").exitCode);
    const Bytes before = service_->PublicBlobOf(L"taken");
    const zt::ProgramRun again = Import(L"taken", L"p8.der");
    EXPECT_EQ(3u, again.exitCode) << again.out;
    EXPECT_EQ(before, service_->PublicBlobOf(L"taken"));
}

}  // namespace
