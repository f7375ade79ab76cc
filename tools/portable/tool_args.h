// Command line of ZentravaKSPTool: parsed into one record, no side effects.
// Arguments and the record's text are UTF-16 (the Windows command line's
// own units); the tool converts at its edge (utf16_text.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zkt {

enum class Command {
    Help, Provider, Key, Sign, Verify, Encrypt, Decrypt, Export,
    Request, SelfSign, LinkCert, UnlinkCert, Certs
};
enum class HashAlgorithm { Sha1, Sha256, Sha384, Sha512 };
enum class SignaturePadding { Pkcs1, Pss };
enum class ExportFormat { Pem, Blob, Der };

// Extended key usages a self-signed certificate can carry (several at once).
enum KeyPurpose : unsigned {
    kPurposeCodeSigning = 1,
    kPurposeClientAuth = 2,
    kPurposeServerAuth = 4,
};

struct ToolOptions {
    Command command = Command::Help;
    bool viaNcrypt = false;
    std::u16string dllPath;        // empty: ZentravaKSP.dll beside the tool
    bool setUseContext = false;
    std::u16string useContext;
    std::u16string keyName;
    std::u16string inputPath;      // file to sign, verify, encrypt or decrypt
    std::u16string outputPath;     // signature, ciphertext, plaintext, exported key, request or certificate
    std::u16string signaturePath;  // verify only
    HashAlgorithm hash = HashAlgorithm::Sha256;
    SignaturePadding padding = SignaturePadding::Pkcs1;
    ExportFormat format = ExportFormat::Pem;
    // csr and selfsign
    std::u16string subject;                // X.500 string, e.g. "CN=build,O=Example"
    std::vector<std::u16string> dnsNames;  // subject alternative names
    std::uint32_t days = 365;                    // selfsign
    unsigned purposes = 0;               // selfsign: KeyPurpose bits
    // link-cert, unlink-cert, certs
    std::u16string certificate;            // certificate file (or, for unlink-cert, a SHA-1 thumbprint)
    std::u16string storeName = u"My";      // the current user's system store
};

struct ParsedArguments {
    bool ok = false;
    std::u16string error;  // set when !ok
    ToolOptions options;
};

// args excludes the program name.
ParsedArguments ParseToolArguments(std::span<const std::u16string> args);

// A SHA-1 thumbprint: 40 hexadecimal digits.
bool IsThumbprint(std::u16string_view text);

// Digest size in bytes; the platform's identifier is hash_algorithm.h's.
std::uint32_t HashDigestSize(HashAlgorithm hash);

// The text printed by --help.
const char* UsageText();

}  // namespace zkt
