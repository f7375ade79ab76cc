// Requests and self-signed certificates made by the real tool through the
// real DLL and signing service, checked by OpenSSL; the store link read back
// through crypt32.
#include "cert_test_files.h"
#include "service_with_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

namespace {

const wchar_t kKey[] = L"cert-key";
const wchar_t kOtherKey[] = L"other-key";
const char kSubjectShown[] = "CN = Build Signer, O = Zentrava Test, C = DE";
const wchar_t kSubject[] = L"CN=Build Signer,O=Zentrava Test,C=DE";

class CertificateTool : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        service_ = new zt::ServiceWithKeys();
        ready_ = service_->CreateKey(kKey, 2048) && service_->CreateKey(kOtherKey, 2048) && service_->Start();
    }
    static void TearDownTestSuite()
    {
        delete service_;
        service_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(ready_) << "signing service did not start";
        ASSERT_TRUE(zt::OpenSslAvailable()) << "openssl is missing; scripts/setup.sh installs it";
    }

    zt::ShellRun OpenSsl(const std::string& arguments) { return zt::RunShell("openssl " + arguments); }

    // The key's public half as the tool exports it (PEM SubjectPublicKeyInfo).
    std::string PublicKeyPem(const wchar_t* key)
    {
        const zt::ProgramRun run = zt::RunTool({L"export", key, L"-"});
        EXPECT_EQ(0u, run.exitCode) << run.err;
        return run.out;
    }

    // A self-signed certificate of the key, PEM.
    std::wstring SelfSigned(const wchar_t* key, const wchar_t* file, std::vector<std::wstring> extra = {})
    {
        std::vector<std::wstring> args = {L"selfsign", key, dir_.File(file), L"--subject", kSubject};
        args.insert(args.end(), extra.begin(), extra.end());
        const zt::ProgramRun run = zt::RunTool(args);
        EXPECT_EQ(0u, run.exitCode) << run.err;
        return dir_.File(file);
    }

    static zt::ServiceWithKeys* service_;
    static bool ready_;
    zt::SharedFolder dir_;
};

zt::ServiceWithKeys* CertificateTool::service_ = nullptr;
bool CertificateTool::ready_ = false;

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

TEST_F(CertificateTool, RequestsVerifyWithOpenSslForEveryHashAndPadding)
{
    const std::string publicKey = PublicKeyPem(kKey);
    ASSERT_TRUE(zt::Contains(publicKey, "-----BEGIN PUBLIC KEY-----"));
    const struct {
        const wchar_t* hash;
        bool pss;
        bool der;
        const char* algorithmShown;
        bool dnsNames;
    } cases[] = {
        {L"SHA256", false, false, "sha256WithRSAEncryption", true},
        {L"SHA384", false, true, "sha384WithRSAEncryption", true},
        {L"SHA512", false, false, "sha512WithRSAEncryption", false},
        {L"SHA256", true, true, "rsassaPss", true},
        {L"SHA512", true, false, "rsassaPss", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.hash, c.hash + wcslen(c.hash)) << (c.pss ? " PSS" : "")
                                        << (c.der ? " DER" : " PEM"));
        std::vector<std::wstring> args = {L"csr", kKey, dir_.File(L"req"), L"--subject", kSubject, L"--hash", c.hash};
        if (c.dnsNames) {
            args.insert(args.end(), {L"--dns", L"build.example.com", L"--dns", L"*.zentrava.example"});
        }
        if (c.pss) {
            args.push_back(L"--pss");
        }
        if (c.der) {
            args.insert(args.end(), {L"--format", L"der"});
        }
        const zt::ProgramRun run = zt::RunTool(args);
        ASSERT_EQ(0u, run.exitCode) << run.err;
        std::string written;
        ASSERT_TRUE(zt::ReadFileBytes(dir_.File(L"req"), written));
        EXPECT_EQ(!c.der, written.rfind("-----BEGIN NEW CERTIFICATE REQUEST-----\n", 0) == 0);

        const std::string in = "req -in " + dir_.Sh(L"req") + (c.der ? " -inform DER" : "");
        zt::ShellRun verified = OpenSsl(in + " -verify -noout");
        EXPECT_EQ(0, verified.exitCode) << verified.output;
        EXPECT_TRUE(zt::Contains(verified.output, "verify OK")) << verified.output;

        const zt::ShellRun text = OpenSsl(in + " -noout -text");
        ASSERT_EQ(0, text.exitCode) << text.output;
        EXPECT_TRUE(zt::Contains(text.output, std::string("Subject: ") + kSubjectShown)) << text.output;
        if (c.dnsNames) {
            EXPECT_TRUE(zt::Contains(text.output, "DNS:build.example.com, DNS:*.zentrava.example")) << text.output;
        } else {
            EXPECT_TRUE(zt::Contains(text.output, "Attributes:\n            (none)")) << text.output;
        }
        EXPECT_TRUE(zt::Contains(text.output, std::string("Signature Algorithm: ") + c.algorithmShown)) << text.output;
        if (c.pss) {
            const std::string hash = Lower(std::string(c.hash, c.hash + wcslen(c.hash)));
            EXPECT_TRUE(zt::Contains(text.output, "Hash Algorithm: " + hash)) << text.output;
            EXPECT_TRUE(zt::Contains(text.output, "Mask Algorithm: mgf1 with " + hash)) << text.output;
            EXPECT_TRUE(zt::Contains(text.output, hash == "sha256" ? "Salt Length: 0x20" : "Salt Length: 0x40"))
                << text.output;
        }
        // The request carries the key's own public half.
        const zt::ShellRun key = OpenSsl(in + " -noout -pubkey");
        EXPECT_EQ(publicKey, key.output);
    }
}

TEST_F(CertificateTool, SelfSignedCertificatesVerifyAgainstThemselvesWithTheExtensionsAskedFor)
{
    const struct {
        std::vector<std::wstring> options;
        bool der;
        const char* purposesShown;  // nullptr: no extended key usage at all
        bool keyEncipherment;
        const char* opensslPurpose;  // for openssl verify -purpose, or nullptr
        DWORD days;
        bool dnsName;
    } cases[] = {
        {{L"--code-signing"}, false, "Code Signing", false, nullptr, 365, false},
        {{L"--client-auth", L"--server-auth", L"--dns", L"tls.example.com", L"--hash", L"SHA384", L"--days", L"10"},
         true, "TLS Web Client Authentication, TLS Web Server Authentication", true, "sslserver", 10, true},
        {{L"--client-auth", L"--pss"}, false, "TLS Web Client Authentication", false, "sslclient", 365, false},
        {{L"--days", L"3650", L"--hash", L"SHA512"}, false, nullptr, false, nullptr, 3650, false},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(index++);
        std::vector<std::wstring> options = c.options;
        if (c.der) {
            options.insert(options.end(), {L"--format", L"der"});
        }
        const std::wstring file = SelfSigned(kKey, L"self.crt", options);
        const std::string der = c.der ? " -inform DER" : "";
        ASSERT_EQ(0, OpenSsl("x509 -in " + dir_.Sh(L"self.crt") + der + " -out " + dir_.Sh(L"self.pem")).exitCode);

        const std::string pem = dir_.Sh(L"self.pem");
        zt::ShellRun verified = OpenSsl("verify -x509_strict -CAfile " + pem + " " + pem);
        EXPECT_EQ(0, verified.exitCode) << verified.output;
        EXPECT_TRUE(zt::Contains(verified.output, ": OK")) << verified.output;
        if (c.opensslPurpose != nullptr) {
            verified = OpenSsl(std::string("verify -purpose ") + c.opensslPurpose + " -CAfile " + pem + " " + pem);
            EXPECT_EQ(0, verified.exitCode) << verified.output;
        }

        const zt::ShellRun text = OpenSsl("x509 -in " + pem + " -noout -text");
        ASSERT_EQ(0, text.exitCode) << text.output;
        const std::string& t = text.output;
        EXPECT_TRUE(zt::Contains(t, "Version: 3 (0x2)")) << t;
        EXPECT_TRUE(zt::Contains(t, std::string("Issuer: ") + kSubjectShown)) << t;
        EXPECT_TRUE(zt::Contains(t, std::string("Subject: ") + kSubjectShown)) << t;
        EXPECT_TRUE(zt::Contains(t, "X509v3 Basic Constraints: critical\n                CA:FALSE")) << t;
        EXPECT_TRUE(zt::Contains(t, "X509v3 Key Usage: critical\n                Digital Signature")) << t;
        EXPECT_EQ(c.keyEncipherment, zt::Contains(t, "Digital Signature, Key Encipherment")) << t;
        if (c.purposesShown != nullptr) {
            EXPECT_TRUE(zt::Contains(t, std::string("X509v3 Extended Key Usage: \n                ") + c.purposesShown))
                << t;
        } else {
            EXPECT_FALSE(zt::Contains(t, "Extended Key Usage")) << t;
        }
        EXPECT_EQ(c.dnsName, zt::Contains(t, "X509v3 Subject Alternative Name: \n                DNS:tls.example.com"))
            << t;

        // The subject key identifier is the SHA-1 of the key's bits, as
        // OpenSSL computes it itself.
        const zt::ShellRun ski = OpenSsl("x509 -in " + pem + " -noout -ext subjectKeyIdentifier");
        const zt::ShellRun own = zt::RunShell("openssl x509 -in " + pem +
                                              " -noout -pubkey | openssl rsa -pubin -RSAPublicKey_out -outform DER "
                                              "2>/dev/null | openssl dgst -sha1 -r");
        ASSERT_EQ(0, own.exitCode) << own.output;
        std::string skiHex;
        for (char ch : ski.output.substr(ski.output.find('\n') + 1)) {
            if (std::isxdigit(static_cast<unsigned char>(ch))) {
                skiHex += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            }
        }
        EXPECT_EQ(own.output.substr(0, 40), skiHex) << ski.output;

        // Serial, validity and issuer as crypt32 reads them.
        std::string bytes;
        ASSERT_TRUE(zt::ReadFileBytes(file, bytes));
        const zt::ShellRun derOut = OpenSsl("x509 -in " + pem + " -outform DER -out " + dir_.Sh(L"self.der"));
        ASSERT_EQ(0, derOut.exitCode);
        ASSERT_TRUE(zt::ReadFileBytes(dir_.File(L"self.der"), bytes));
        PCCERT_CONTEXT cert =
            CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
                                         static_cast<DWORD>(bytes.size()));
        ASSERT_NE(nullptr, cert);
        const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
        EXPECT_EQ(16u, serial.cbData);
        EXPECT_EQ(0x40, serial.pbData[serial.cbData - 1] & 0xC0);  // positive, no leading zero octet
        const auto ticks = [](const FILETIME& f) {
            return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        };
        EXPECT_EQ(static_cast<ULONGLONG>(c.days) * 86400ULL * 10000000ULL,
                  ticks(cert->pCertInfo->NotAfter) - ticks(cert->pCertInfo->NotBefore));
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        EXPECT_LT(ticks(cert->pCertInfo->NotBefore), ticks(now));
        EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Issuer, &cert->pCertInfo->Subject));
        CertFreeCertificateContext(cert);
    }
}

TEST_F(CertificateTool, MalformedInputIsRefusedAndLeavesNoOutputFile)
{
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
        const char* says;
    } cases[] = {
        {{L"csr", kKey, L"OUT", L"--subject", L"XX=nothing"}, 2, "is not an X.500 name (stopped at \"XX=nothing\")"},
        {{L"selfsign", kKey, L"OUT", L"--subject", L"CN="}, 2, "is not an X.500 name"},
        {{L"csr", kKey, L"OUT"}, 2, "needs --subject"},
        {{L"csr", kKey, L"OUT", L"--subject", L"CN=x", L"--frob"}, 2, "unknown option --frob"},
        {{L"csr", kKey, L"OUT", L"--subject", L"CN=x", L"--hash", L"SHA1"}, 2, "SHA-1 is not accepted"},
        {{L"csr", kKey, L"OUT", L"--subject", L"CN=x", L"--format", L"blob"}, 2, "unknown output format 'blob'"},
        {{L"csr", kKey, L"OUT", L"--subject", L"CN=x", L"--days", L"5"}, 2, "--days does not apply to 'csr'"},
        {{L"selfsign", kKey, L"OUT", L"--subject", L"CN=x", L"--days", L"0"}, 2, "--days takes a whole number"},
        {{L"selfsign", kKey, L"OUT", L"--subject", L"CN=x", L"--dns", L"b\u00e4d.example"}, 2, "is not a DNS name"},
        {{L"csr", L"no-such-key", L"OUT", L"--subject", L"CN=x"}, 1, "NTE_BAD_KEYSET"},
        {{L"selfsign", L"no-such-key", L"OUT", L"--subject", L"CN=x"}, 1, "NTE_BAD_KEYSET"},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> args = c.args;
        std::replace(args.begin(), args.end(), std::wstring(L"OUT"), dir_.File(L"out.pem"));
        SCOPED_TRACE(c.says);
        const zt::ProgramRun run = zt::RunTool(args);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.err;
        EXPECT_TRUE(zt::Contains(run.err, c.says)) << run.err;
        EXPECT_FALSE(dir_.Exists(L"out.pem"));
    }
    // A failure keeps what an existing output file held.
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"keep.pem"), "earlier request"));
    zt::ProgramRun run = zt::RunTool({L"csr", L"no-such-key", dir_.File(L"keep.pem"), L"--subject", L"CN=x"});
    EXPECT_EQ(1u, run.exitCode);
    std::string kept;
    ASSERT_TRUE(zt::ReadFileBytes(dir_.File(L"keep.pem"), kept));
    EXPECT_EQ("earlier request", kept);
    // A folder that does not exist is named in the failure.
    run = zt::RunTool({L"csr", kKey, dir_.File(L"no\\such\\folder.pem"), L"--subject", L"CN=x"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(zt::Contains(run.err, "writing ")) << run.err;
}

TEST_F(CertificateTool, LinkedCertificateCarriesTheKeyLinkCryptoApiReadsBack)
{
    zt::TestStore store;
    const std::wstring pemFile = SelfSigned(kKey, L"code.pem", {L"--code-signing"});
    const std::vector<BYTE> hash = zt::CertificateHashOf(pemFile);
    ASSERT_EQ(20u, hash.size());
    const std::string thumbprint = zt::HexUpper(hash);

    zt::ProgramRun run = zt::RunTool({L"link-cert", kKey, pemFile, L"--store", store.name()});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(zt::Contains(run.out, "Certificate " + thumbprint + " linked to key \"cert-key\"")) << run.out;

    HCERTSTORE opened = store.OpenExisting();
    ASSERT_NE(nullptr, opened);
    CRYPT_HASH_BLOB blob{20, const_cast<BYTE*>(hash.data())};
    PCCERT_CONTEXT found = CertFindCertificateInStore(opened, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
    ASSERT_NE(nullptr, found);
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<ULONGLONG> buffer((size + 7) / 8);
    ASSERT_TRUE(CertGetCertificateContextProperty(found, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size));
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    EXPECT_STREQ(L"cert-key", info->pwszContainerName);
    EXPECT_STREQ(L"Zentrava Key Storage Provider", info->pwszProvName);
    EXPECT_EQ(0u, info->dwProvType);
    EXPECT_EQ(0u, info->dwKeySpec);
    EXPECT_EQ(0u, info->dwFlags);
    CertFreeCertificateContext(found);
    CertCloseStore(opened, 0);

    run = zt::RunTool({L"certs", L"--store", store.name()});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(zt::Contains(run.out, "linked to Zentrava Key Storage Provider: 1\n")) << run.out;
    EXPECT_TRUE(zt::Contains(run.out, "  " + thumbprint + "  key \"cert-key\"  expires ")) << run.out;
    EXPECT_TRUE(zt::Contains(run.out, "CN=Build Signer, O=Zentrava Test, C=DE")) << run.out;

    // Linking again changes nothing but says so; a DER file links the same.
    run = zt::RunTool({L"link-cert", kKey, pemFile, L"--store", store.name()});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(zt::Contains(run.out, "linked to \"cert-key\" of Zentrava Key Storage Provider")) << run.out;
    ASSERT_EQ(0, zt::RunShell("openssl x509 -in " + dir_.Sh(L"code.pem") + " -outform DER -out " + dir_.Sh(L"code.der"))
                     .exitCode);
    run = zt::RunTool({L"link-cert", kKey, dir_.File(L"code.der"), L"--store", store.name()});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(1u, store.CertificateCount());

    // unlink-cert: only for the key it is linked to; by file or thumbprint.
    run = zt::RunTool({L"unlink-cert", kOtherKey, pemFile, L"--store", store.name()});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(zt::Contains(run.err, "is not linked to key \"other-key\"")) << run.err;
    EXPECT_EQ(1u, store.CertificateCount());
    run = zt::RunTool({L"unlink-cert", kKey, std::wstring(thumbprint.begin(), thumbprint.end()), L"--store",
                       store.name()});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_EQ(0u, store.CertificateCount());
    run = zt::RunTool({L"unlink-cert", kKey, pemFile, L"--store", store.name()});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(zt::Contains(run.err, "no such certificate")) << run.err;
    run = zt::RunTool({L"certs", L"--store", store.name()});
    EXPECT_TRUE(zt::Contains(run.out, "linked to Zentrava Key Storage Provider: 0\n")) << run.out;
}

TEST_F(CertificateTool, LinkCertRefusesWhatIsNotACertificateOfTheKeyAndChangesNothing)
{
    zt::TestStore store;
    const std::wstring other = SelfSigned(kOtherKey, L"other.pem");
    ASSERT_EQ(0u, zt::RunTool({L"csr", kKey, dir_.File(L"req.pem"), L"--subject", L"CN=x"}).exitCode);
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"garbage.txt"), "not a certificate at all"));
    ASSERT_TRUE(zt::WriteFileBytes(dir_.File(L"garbage.der"), std::string("\x30\x03\x02\x01\x00", 5)));
    const std::wstring mine = SelfSigned(kKey, L"mine.pem");
    const struct {
        const wchar_t* key;
        std::wstring file;
        const char* says;
    } cases[] = {
        {kKey, other, "is not the public key of \"cert-key\"; nothing was changed"},
        {kKey, dir_.File(L"req.pem"), "holds a PEM \"NEW CERTIFICATE REQUEST\" block, not a certificate"},
        {kKey, dir_.File(L"garbage.txt"), "is neither a PEM certificate nor DER"},
        {kKey, dir_.File(L"garbage.der"), "is not an X.509 certificate"},
        {kKey, dir_.File(L"absent.pem"), "Win32 error 2 ERROR_FILE_NOT_FOUND"},
        {L"no-such-key", mine, "NTE_BAD_KEYSET"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const zt::ProgramRun run = zt::RunTool({L"link-cert", c.key, c.file, L"--store", store.name()});
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_TRUE(zt::Contains(run.err, c.says)) << run.err;
        HCERTSTORE opened = store.OpenExisting();
        EXPECT_EQ(nullptr, opened) << "the store was created or changed";
        if (opened != nullptr) {
            CertCloseStore(opened, 0);
        }
    }
}

TEST_F(CertificateTool, DefaultStoreIsTheUsersPersonalStore)
{
    const std::wstring file = SelfSigned(kKey, L"my.pem", {L"--subject", L"CN=Personal store check"});
    const std::string thumbprint = zt::HexUpper(zt::CertificateHashOf(file));
    zt::ProgramRun run = zt::RunTool({L"link-cert", kKey, file});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(zt::Contains(run.out, "in CurrentUser\\My")) << run.out;
    run = zt::RunTool({L"certs"});
    EXPECT_TRUE(zt::Contains(run.out, thumbprint)) << run.out;
    run = zt::RunTool({L"unlink-cert", kKey, file});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    run = zt::RunTool({L"certs"});
    EXPECT_FALSE(zt::Contains(run.out, thumbprint)) << run.out;
}

}  // namespace
