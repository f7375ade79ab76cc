#include "tool_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

zkt::ParsedArguments Parse(Args args)
{
    return zkt::ParseToolArguments(args);
}

// The parse fails and the message mentions the given text.
void ExpectError(Args args, const wchar_t* mentions)
{
    const zkt::ParsedArguments r = Parse(args);
    EXPECT_FALSE(r.ok) << "accepted: " << testing::PrintToString(args);
    EXPECT_NE(std::wstring::npos, r.error.find(mentions))
        << "error \"" << std::string(r.error.begin(), r.error.end()) << "\" lacks the expected text";
}

TEST(ToolArgs, CommandsTakeTheirPositionalArguments)
{
    auto r = Parse({L"provider"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Provider, r.options.command);
    EXPECT_FALSE(r.options.viaNcrypt);
    EXPECT_TRUE(r.options.dllPath.empty());

    r = Parse({L"key", L"demo"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Key, r.options.command);
    EXPECT_EQ(L"demo", r.options.keyName);

    r = Parse({L"sign", L"k", L"in.txt", L"out.sig"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Sign, r.options.command);
    EXPECT_EQ(L"k", r.options.keyName);
    EXPECT_EQ(L"in.txt", r.options.inputPath);
    EXPECT_EQ(L"out.sig", r.options.outputPath);
    EXPECT_EQ(zkt::HashAlgorithm::Sha256, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pkcs1, r.options.padding);

    r = Parse({L"verify", L"k", L"in.txt", L"in.sig"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Verify, r.options.command);
    EXPECT_EQ(L"in.txt", r.options.inputPath);
    EXPECT_EQ(L"in.sig", r.options.signaturePath);
    EXPECT_TRUE(r.options.outputPath.empty());

    r = Parse({L"decrypt", L"k", L"c.bin", L"p.txt"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Decrypt, r.options.command);
    EXPECT_EQ(L"c.bin", r.options.inputPath);
    EXPECT_EQ(L"p.txt", r.options.outputPath);

    r = Parse({L"export", L"k", L"-"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Export, r.options.command);
    EXPECT_EQ(zkt::ExportFormat::Pem, r.options.format);
    EXPECT_EQ(L"-", r.options.outputPath);
}

TEST(ToolArgs, WrongArgumentCountsAreRefused)
{
    ExpectError({}, L"no command");
    ExpectError({L"provider", L"extra"}, L"no arguments");
    ExpectError({L"key"}, L"<key-name>");
    ExpectError({L"key", L"a", L"b"}, L"<key-name>");
    ExpectError({L"sign", L"k", L"in"}, L"<signature-file>");
    ExpectError({L"encrypt", L"k", L"in", L"out", L"more"}, L"<output-file>");
    ExpectError({L"export", L"k"}, L"<output-file>");
    ExpectError({L"frobnicate"}, L"unknown command 'frobnicate'");
}

TEST(ToolArgs, OptionsAnywhereInBothSpellings)
{
    auto r = Parse({L"--dll", L"C:\\x\\p.dll", L"sign", L"k", L"--hash=sha-384", L"in", L"--pss", L"out"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(L"C:\\x\\p.dll", r.options.dllPath);
    EXPECT_EQ(zkt::HashAlgorithm::Sha384, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pss, r.options.padding);
    EXPECT_EQ(L"in", r.options.inputPath);
    EXPECT_EQ(L"out", r.options.outputPath);

    r = Parse({L"verify", L"k", L"in", L"sig", L"--hash", L"SHA1"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::HashAlgorithm::Sha1, r.options.hash);
    r = Parse({L"verify", L"k", L"in", L"sig", L"--hash", L"Sha512"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::HashAlgorithm::Sha512, r.options.hash);

    r = Parse({L"--ncrypt", L"--use-context=build 7", L"export", L"k", L"k.blob", L"--format", L"BLOB"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.viaNcrypt);
    EXPECT_TRUE(r.options.setUseContext);
    EXPECT_EQ(L"build 7", r.options.useContext);
    EXPECT_EQ(zkt::ExportFormat::Blob, r.options.format);

    // An empty use context is still a request to set one.
    r = Parse({L"--use-context=", L"provider"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.setUseContext);
    EXPECT_TRUE(r.options.useContext.empty());
}

TEST(ToolArgs, BadOptionsAreRefused)
{
    ExpectError({L"provider", L"--bogus"}, L"unknown option --bogus");
    ExpectError({L"provider", L"--dll"}, L"--dll needs a value");
    ExpectError({L"provider", L"--dll="}, L"--dll needs a path");
    ExpectError({L"provider", L"--ncrypt=yes"}, L"takes no value");
    ExpectError({L"--ncrypt", L"--dll", L"x.dll", L"provider"}, L"exclude each other");
    ExpectError({L"sign", L"k", L"i", L"o", L"--hash", L"MD5"}, L"unknown hash algorithm 'MD5'");
    ExpectError({L"sign", L"k", L"i", L"o", L"--hash", L"SHA-"}, L"unknown hash algorithm");
    ExpectError({L"export", L"k", L"o", L"--format", L"der"}, L"unknown export format 'der'");
    ExpectError({L"provider", L"--subject", L"CN=a"}, L"--subject does not apply to 'provider'");
}

TEST(ToolArgs, OptionsOnlyWhereTheyApply)
{
    ExpectError({L"encrypt", L"k", L"i", L"o", L"--pss"}, L"--pss does not apply to 'encrypt'");
    ExpectError({L"decrypt", L"k", L"i", L"o", L"--hash", L"SHA1"}, L"--hash does not apply to 'decrypt'");
    ExpectError({L"sign", L"k", L"i", L"o", L"--format", L"pem"}, L"--format does not apply to 'sign'");
    // Raw binary never goes to the console; '-' is only export's PEM output.
    ExpectError({L"export", L"k", L"-", L"--format", L"blob"}, L"cannot go to standard output");
    ExpectError({L"sign", L"k", L"-", L"o"}, L"only by 'export'");
    ExpectError({L"encrypt", L"k", L"i", L"-"}, L"only by 'export'");
}

TEST(ToolArgs, CertificateCommandsAndTheirOptions)
{
    auto r = Parse({L"csr", L"k", L"k.csr", L"--subject", L"CN=a,O=b", L"--dns", L"a.example", L"--dns=*.b.example",
                    L"--hash", L"SHA512", L"--pss", L"--format", L"DER"});
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());
    EXPECT_EQ(zkt::Command::Request, r.options.command);
    EXPECT_EQ(L"k.csr", r.options.outputPath);
    EXPECT_EQ(L"CN=a,O=b", r.options.subject);
    EXPECT_EQ((std::vector<std::wstring>{L"a.example", L"*.b.example"}), r.options.dnsNames);
    EXPECT_EQ(zkt::HashAlgorithm::Sha512, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pss, r.options.padding);
    EXPECT_EQ(zkt::ExportFormat::Der, r.options.format);

    r = Parse({L"selfsign", L"k", L"k.pem", L"--subject", L"CN=a", L"--days", L"36500", L"--code-signing",
               L"--server-auth"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::SelfSign, r.options.command);
    EXPECT_EQ(36500u, r.options.days);
    EXPECT_EQ(zkt::kPurposeCodeSigning | zkt::kPurposeServerAuth, r.options.purposes);
    EXPECT_EQ(zkt::ExportFormat::Pem, r.options.format);
    r = Parse({L"selfsign", L"k", L"k.pem", L"--subject", L"CN=a"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(365u, r.options.days);
    EXPECT_EQ(0u, r.options.purposes);

    r = Parse({L"link-cert", L"k", L"c.pem"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::LinkCert, r.options.command);
    EXPECT_EQ(L"c.pem", r.options.certificate);
    EXPECT_EQ(L"My", r.options.storeName);
    r = Parse({L"unlink-cert", L"k", L"0123456789abcdef0123456789ABCDEF01234567", L"--store", L"Build"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::UnlinkCert, r.options.command);
    EXPECT_EQ(L"Build", r.options.storeName);
    EXPECT_TRUE(zkt::IsThumbprint(r.options.certificate));
    r = Parse({L"certs"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Certs, r.options.command);
}

TEST(ToolArgs, CertificateOptionErrors)
{
    ExpectError({L"csr", L"k", L"o"}, L"needs --subject");
    ExpectError({L"csr", L"k", L"o", L"--subject="}, L"--subject needs a name");
    ExpectError({L"csr", L"k", L"o", L"--subject", L"CN=a", L"--hash", L"SHA1"}, L"SHA-1 is not accepted");
    ExpectError({L"csr", L"k", L"o", L"--subject", L"CN=a", L"--format", L"blob"}, L"unknown output format 'blob'");
    ExpectError({L"csr", L"k", L"o", L"--subject", L"CN=a", L"--code-signing"}, L"--code-signing does not apply to 'csr'");
    ExpectError({L"selfsign", L"k", L"o", L"--subject", L"CN=a", L"--store", L"My"}, L"--store does not apply");
    ExpectError({L"sign", L"k", L"i", L"o", L"--subject", L"CN=a"}, L"--subject does not apply to 'sign'");
    ExpectError({L"link-cert", L"k", L"c", L"--hash", L"SHA256"}, L"--hash does not apply to 'link-cert'");
    ExpectError({L"link-cert", L"k"}, L"<certificate-file>");
    ExpectError({L"certs", L"extra"}, L"no arguments");
    ExpectError({L"certs", L"--store", L"a\\b"}, L"--store takes the name");
    ExpectError({L"csr", L"k", L"-", L"--subject", L"CN=a"}, L"only by 'export'");
    for (const wchar_t* days : {L"0", L"36501", L"-1", L"1e3", L"", L"999999"}) {
        ExpectError({L"selfsign", L"k", L"o", L"--subject", L"CN=a", L"--days", days}, L"--days takes");
    }
    for (const wchar_t* dns : {L"", L".a", L"a.", L"a..b", L"-a.b", L"a-.b", L"a_b.c", L"*.", L"a.*.b", L"b\u00e4.c"}) {
        ExpectError({L"csr", L"k", L"o", L"--subject", L"CN=a", L"--dns", dns}, L"is not a DNS name");
    }
    EXPECT_FALSE(zkt::IsThumbprint(L"0123456789abcdef0123456789ABCDEF0123456"));
    EXPECT_FALSE(zkt::IsThumbprint(L"0123456789abcdef0123456789ABCDEF0123456g"));
}

TEST(ToolArgs, HelpWinsOverMissingArguments)
{
    for (const Args& args : {Args{L"--help"}, Args{L"-h"}, Args{L"help"}, Args{L"sign", L"--help"}}) {
        const zkt::ParsedArguments r = Parse(args);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(zkt::Command::Help, r.options.command);
    }
}

TEST(ToolArgs, HashIdentifiersAndSizes)
{
    EXPECT_STREQ(L"SHA1", zkt::HashAlgorithmId(zkt::HashAlgorithm::Sha1));
    EXPECT_STREQ(L"SHA512", zkt::HashAlgorithmId(zkt::HashAlgorithm::Sha512));
    EXPECT_EQ(20u, zkt::HashDigestSize(zkt::HashAlgorithm::Sha1));
    EXPECT_EQ(32u, zkt::HashDigestSize(zkt::HashAlgorithm::Sha256));
    EXPECT_EQ(48u, zkt::HashDigestSize(zkt::HashAlgorithm::Sha384));
    EXPECT_EQ(64u, zkt::HashDigestSize(zkt::HashAlgorithm::Sha512));
}

TEST(ToolArgs, UsageDescribesEveryCommandAndOption)
{
    const std::string usage = zkt::UsageText();
    for (const char* word : {"provider\n", "key <key-name>", "sign <key-name>", "verify <key-name>",
                             "encrypt <key-name>", "decrypt <key-name>", "export <key-name>", "csr <key-name>",
                             "selfsign <key-name>", "link-cert <key-name>", "unlink-cert <key-name>", "certs [--store",
                             "--dll", "--ncrypt", "--use-context", "--hash", "--pss", "--format", "--subject", "--dns",
                             "--days", "--code-signing", "--client-auth", "--server-auth", "--store", "--help",
                             "Exit status", "Paddings the provider accepts", "NTE_NOT_SUPPORTED"}) {
        EXPECT_NE(std::string::npos, usage.find(word)) << word;
    }
}

}  // namespace
