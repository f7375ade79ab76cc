// Command line of ZentravaKSPTool: parsed into one record, no side effects.
#pragma once

#include <windows.h>

#include <string>
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
    std::wstring dllPath;        // empty: ZentravaKSP.dll beside the tool
    bool setUseContext = false;
    std::wstring useContext;
    std::wstring keyName;
    std::wstring inputPath;      // file to sign, verify, encrypt or decrypt
    std::wstring outputPath;     // signature, ciphertext, plaintext, exported key, request or certificate
    std::wstring signaturePath;  // verify only
    HashAlgorithm hash = HashAlgorithm::Sha256;
    SignaturePadding padding = SignaturePadding::Pkcs1;
    ExportFormat format = ExportFormat::Pem;
    // csr and selfsign
    std::wstring subject;                // X.500 string, e.g. "CN=build,O=Example"
    std::vector<std::wstring> dnsNames;  // subject alternative names
    DWORD days = 365;                    // selfsign
    unsigned purposes = 0;               // selfsign: KeyPurpose bits
    // link-cert, unlink-cert, certs
    std::wstring certificate;            // certificate file (or, for unlink-cert, a SHA-1 thumbprint)
    std::wstring storeName = L"My";      // the current user's system store
};

struct ParsedArguments {
    bool ok = false;
    std::wstring error;  // set when !ok
    ToolOptions options;
};

// args excludes the program name.
ParsedArguments ParseToolArguments(const std::vector<std::wstring>& args);

// A SHA-1 thumbprint: 40 hexadecimal digits.
bool IsThumbprint(const std::wstring& text);

// Platform algorithm identifier ("SHA256") and digest size in bytes.
const wchar_t* HashAlgorithmId(HashAlgorithm hash);
DWORD HashDigestSize(HashAlgorithm hash);

// The text printed by --help.
const char* UsageText();

}  // namespace zkt
