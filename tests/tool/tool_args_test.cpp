#include "tool_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Args = std::vector<std::u16string>;

zkt::ParsedArguments Parse(Args args)
{
    return zkt::ParseToolArguments(args);
}

// The parse fails and the message mentions the given text.
void ExpectError(Args args, const char16_t* mentions)
{
    const zkt::ParsedArguments r = Parse(args);
    EXPECT_FALSE(r.ok) << "accepted: " << testing::PrintToString(args);
    EXPECT_NE(std::u16string::npos, r.error.find(mentions))
        << "error \"" << std::string(r.error.begin(), r.error.end()) << "\" lacks the expected text";
}

TEST(ToolArgs, CommandsTakeTheirPositionalArguments)
{
    auto r = Parse({u"provider"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Provider, r.options.command);
    EXPECT_FALSE(r.options.viaNcrypt);
    EXPECT_TRUE(r.options.dllPath.empty());

    r = Parse({u"key", u"demo"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Key, r.options.command);
    EXPECT_EQ(u"demo", r.options.keyName);

    r = Parse({u"sign", u"k", u"in.txt", u"out.sig"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Sign, r.options.command);
    EXPECT_EQ(u"k", r.options.keyName);
    EXPECT_EQ(u"in.txt", r.options.inputPath);
    EXPECT_EQ(u"out.sig", r.options.outputPath);
    EXPECT_EQ(zkt::HashAlgorithm::Sha256, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pkcs1, r.options.padding);

    r = Parse({u"verify", u"k", u"in.txt", u"in.sig"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Verify, r.options.command);
    EXPECT_EQ(u"in.txt", r.options.inputPath);
    EXPECT_EQ(u"in.sig", r.options.signaturePath);
    EXPECT_TRUE(r.options.outputPath.empty());

    r = Parse({u"decrypt", u"k", u"c.bin", u"p.txt"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Decrypt, r.options.command);
    EXPECT_EQ(u"c.bin", r.options.inputPath);
    EXPECT_EQ(u"p.txt", r.options.outputPath);

    r = Parse({u"export", u"k", u"-"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Export, r.options.command);
    EXPECT_EQ(zkt::ExportFormat::Pem, r.options.format);
    EXPECT_EQ(u"-", r.options.outputPath);
}

TEST(ToolArgs, WrongArgumentCountsAreRefused)
{
    ExpectError({}, u"no command");
    ExpectError({u"provider", u"extra"}, u"no arguments");
    ExpectError({u"key"}, u"<key-name>");
    ExpectError({u"key", u"a", u"b"}, u"<key-name>");
    ExpectError({u"sign", u"k", u"in"}, u"<signature-file>");
    ExpectError({u"encrypt", u"k", u"in", u"out", u"more"}, u"<output-file>");
    ExpectError({u"export", u"k"}, u"<output-file>");
    ExpectError({u"frobnicate"}, u"unknown command 'frobnicate'");
}

TEST(ToolArgs, OptionsAnywhereInBothSpellings)
{
    auto r = Parse({u"--dll", u"C:\\x\\p.dll", u"sign", u"k", u"--hash=sha-384", u"in", u"--pss", u"out"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(u"C:\\x\\p.dll", r.options.dllPath);
    EXPECT_EQ(zkt::HashAlgorithm::Sha384, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pss, r.options.padding);
    EXPECT_EQ(u"in", r.options.inputPath);
    EXPECT_EQ(u"out", r.options.outputPath);

    r = Parse({u"verify", u"k", u"in", u"sig", u"--hash", u"SHA1"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::HashAlgorithm::Sha1, r.options.hash);
    r = Parse({u"verify", u"k", u"in", u"sig", u"--hash", u"Sha512"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::HashAlgorithm::Sha512, r.options.hash);

    r = Parse({u"--ncrypt", u"--use-context=build 7", u"export", u"k", u"k.blob", u"--format", u"BLOB"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.viaNcrypt);
    EXPECT_TRUE(r.options.setUseContext);
    EXPECT_EQ(u"build 7", r.options.useContext);
    EXPECT_EQ(zkt::ExportFormat::Blob, r.options.format);

    // An empty use context is still a request to set one.
    r = Parse({u"--use-context=", u"provider"});
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.options.setUseContext);
    EXPECT_TRUE(r.options.useContext.empty());
}

TEST(ToolArgs, BadOptionsAreRefused)
{
    ExpectError({u"provider", u"--bogus"}, u"unknown option --bogus");
    ExpectError({u"provider", u"--dll"}, u"--dll needs a value");
    ExpectError({u"provider", u"--dll="}, u"--dll needs a path");
    ExpectError({u"provider", u"--ncrypt=yes"}, u"takes no value");
    ExpectError({u"--ncrypt", u"--dll", u"x.dll", u"provider"}, u"exclude each other");
    ExpectError({u"sign", u"k", u"i", u"o", u"--hash", u"MD5"}, u"unknown hash algorithm 'MD5'");
    ExpectError({u"sign", u"k", u"i", u"o", u"--hash", u"SHA-"}, u"unknown hash algorithm");
    ExpectError({u"export", u"k", u"o", u"--format", u"der"}, u"unknown export format 'der'");
    ExpectError({u"provider", u"--subject", u"CN=a"}, u"--subject does not apply to 'provider'");
}

TEST(ToolArgs, OptionsOnlyWhereTheyApply)
{
    ExpectError({u"encrypt", u"k", u"i", u"o", u"--pss"}, u"--pss does not apply to 'encrypt'");
    ExpectError({u"decrypt", u"k", u"i", u"o", u"--hash", u"SHA1"}, u"--hash does not apply to 'decrypt'");
    ExpectError({u"sign", u"k", u"i", u"o", u"--format", u"pem"}, u"--format does not apply to 'sign'");
    // Raw binary never goes to the console; '-' is only export's PEM output.
    ExpectError({u"export", u"k", u"-", u"--format", u"blob"}, u"cannot go to standard output");
    ExpectError({u"sign", u"k", u"-", u"o"}, u"only by 'export'");
    ExpectError({u"encrypt", u"k", u"i", u"-"}, u"only by 'export'");
}

TEST(ToolArgs, CertificateCommandsAndTheirOptions)
{
    auto r = Parse({u"csr", u"k", u"k.csr", u"--subject", u"CN=a,O=b", u"--dns", u"a.example", u"--dns=*.b.example",
                    u"--hash", u"SHA512", u"--pss", u"--format", u"DER"});
    ASSERT_TRUE(r.ok) << std::string(r.error.begin(), r.error.end());
    EXPECT_EQ(zkt::Command::Request, r.options.command);
    EXPECT_EQ(u"k.csr", r.options.outputPath);
    EXPECT_EQ(u"CN=a,O=b", r.options.subject);
    EXPECT_EQ((std::vector<std::u16string>{u"a.example", u"*.b.example"}), r.options.dnsNames);
    EXPECT_EQ(zkt::HashAlgorithm::Sha512, r.options.hash);
    EXPECT_EQ(zkt::SignaturePadding::Pss, r.options.padding);
    EXPECT_EQ(zkt::ExportFormat::Der, r.options.format);

    r = Parse({u"selfsign", u"k", u"k.pem", u"--subject", u"CN=a", u"--days", u"36500", u"--code-signing",
               u"--server-auth"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::SelfSign, r.options.command);
    EXPECT_EQ(36500u, r.options.days);
    EXPECT_EQ(zkt::kPurposeCodeSigning | zkt::kPurposeServerAuth, r.options.purposes);
    EXPECT_EQ(zkt::ExportFormat::Pem, r.options.format);
    r = Parse({u"selfsign", u"k", u"k.pem", u"--subject", u"CN=a"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(365u, r.options.days);
    EXPECT_EQ(0u, r.options.purposes);

    r = Parse({u"link-cert", u"k", u"c.pem"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::LinkCert, r.options.command);
    EXPECT_EQ(u"c.pem", r.options.certificate);
    EXPECT_EQ(u"My", r.options.storeName);
    r = Parse({u"unlink-cert", u"k", u"0123456789abcdef0123456789ABCDEF01234567", u"--store", u"Build"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::UnlinkCert, r.options.command);
    EXPECT_EQ(u"Build", r.options.storeName);
    EXPECT_TRUE(zkt::IsThumbprint(r.options.certificate));
    r = Parse({u"certs"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(zkt::Command::Certs, r.options.command);
}

TEST(ToolArgs, CertificateOptionErrors)
{
    ExpectError({u"csr", u"k", u"o"}, u"needs --subject");
    ExpectError({u"csr", u"k", u"o", u"--subject="}, u"--subject needs a name");
    ExpectError({u"csr", u"k", u"o", u"--subject", u"CN=a", u"--hash", u"SHA1"}, u"SHA-1 is not accepted");
    ExpectError({u"csr", u"k", u"o", u"--subject", u"CN=a", u"--format", u"blob"}, u"unknown output format 'blob'");
    ExpectError({u"csr", u"k", u"o", u"--subject", u"CN=a", u"--code-signing"}, u"--code-signing does not apply to 'csr'");
    ExpectError({u"selfsign", u"k", u"o", u"--subject", u"CN=a", u"--store", u"My"}, u"--store does not apply");
    ExpectError({u"sign", u"k", u"i", u"o", u"--subject", u"CN=a"}, u"--subject does not apply to 'sign'");
    ExpectError({u"link-cert", u"k", u"c", u"--hash", u"SHA256"}, u"--hash does not apply to 'link-cert'");
    ExpectError({u"link-cert", u"k"}, u"<certificate-file>");
    ExpectError({u"certs", u"extra"}, u"no arguments");
    ExpectError({u"certs", u"--store", u"a\\b"}, u"--store takes the name");
    ExpectError({u"csr", u"k", u"-", u"--subject", u"CN=a"}, u"only by 'export'");
    for (const char16_t* days : {u"0", u"36501", u"-1", u"1e3", u"", u"999999"}) {
        ExpectError({u"selfsign", u"k", u"o", u"--subject", u"CN=a", u"--days", days}, u"--days takes");
    }
    for (const char16_t* dns : {u"", u".a", u"a.", u"a..b", u"-a.b", u"a-.b", u"a_b.c", u"*.", u"a.*.b", u"b\u00e4.c"}) {
        ExpectError({u"csr", u"k", u"o", u"--subject", u"CN=a", u"--dns", dns}, u"is not a DNS name");
    }
    EXPECT_FALSE(zkt::IsThumbprint(u"0123456789abcdef0123456789ABCDEF0123456"));
    EXPECT_FALSE(zkt::IsThumbprint(u"0123456789abcdef0123456789ABCDEF0123456g"));
}

TEST(ToolArgs, HelpWinsOverMissingArguments)
{
    for (const Args& args : {Args{u"--help"}, Args{u"-h"}, Args{u"help"}, Args{u"sign", u"--help"}}) {
        const zkt::ParsedArguments r = Parse(args);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(zkt::Command::Help, r.options.command);
    }
}

TEST(ToolArgs, HashSizes)
{
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
