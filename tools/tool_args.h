// Command line of ZentravaKSPTool: parsed into one record, no side effects.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zkt {

enum class Command { Help, Provider, Key, Sign, Verify, Encrypt, Decrypt, Export };
enum class HashAlgorithm { Sha1, Sha256, Sha384, Sha512 };
enum class SignaturePadding { Pkcs1, Pss };
enum class ExportFormat { Pem, Blob };

struct ToolOptions {
    Command command = Command::Help;
    bool viaNcrypt = false;
    std::wstring dllPath;        // empty: ZentravaKSP.dll beside the tool
    bool setUseContext = false;
    std::wstring useContext;
    std::wstring keyName;
    std::wstring inputPath;      // file to sign, verify, encrypt or decrypt
    std::wstring outputPath;     // signature, ciphertext, plaintext or exported key
    std::wstring signaturePath;  // verify only
    HashAlgorithm hash = HashAlgorithm::Sha256;
    SignaturePadding padding = SignaturePadding::Pkcs1;
    ExportFormat format = ExportFormat::Pem;
};

struct ParsedArguments {
    bool ok = false;
    std::wstring error;  // set when !ok
    ToolOptions options;
};

// args excludes the program name.
ParsedArguments ParseToolArguments(const std::vector<std::wstring>& args);

// Platform algorithm identifier ("SHA256") and digest size in bytes.
const wchar_t* HashAlgorithmId(HashAlgorithm hash);
DWORD HashDigestSize(HashAlgorithm hash);

// The text printed by --help.
const char* UsageText();

}  // namespace zkt
