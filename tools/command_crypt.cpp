// "encrypt" and "decrypt" with PKCS#1 v1.5 padding: encryption on the key's
// public half, decryption by the signing service through the provider.
#include "commands.h"

#include "file_io.h"
#include "report.h"
#include "utf16_text.h"

#include <ncrypt.h>

#include <cstdio>

namespace zkt {
namespace {

// PKCS#1 v1.5 encryption padding takes at least 11 bytes of the block.
constexpr DWORD kPkcs1Overhead = 11;

}  // namespace

int RunEncryptCommand(const ToolOptions& options)
{
    std::vector<uint8_t> plaintext;
    KeyWithBlock k;
    if (!ReadWholeFile(ToWide(options.inputPath), plaintext) || !OpenToolKeyBlock(options, k)) {
        return 1;
    }
    if (k.blockLength <= kPkcs1Overhead || plaintext.size() > k.blockLength - kPkcs1Overhead) {
        ReportProblem("encrypt: " + ToUtf8(options.inputPath) + " holds " + std::to_string(plaintext.size()) +
                      " bytes; this key encrypts at most " +
                      std::to_string(k.blockLength > kPkcs1Overhead ? k.blockLength - kPkcs1Overhead : 0) +
                      " bytes with PKCS#1 v1.5");
        return 1;
    }
    std::vector<uint8_t> ciphertext;
    if (!Succeeded(Encrypt(k.key, nullptr, NCRYPT_PAD_PKCS1_FLAG, plaintext, ciphertext)) ||
        !WriteWholeFile(ToWide(options.outputPath), ciphertext.data(), ciphertext.size())) {
        return 1;
    }
    printf("Encrypted %s (%zu bytes) with the public key of \"%s\" (PKCS#1 v1.5): %zu bytes written to %s\n",
           ToUtf8(options.inputPath).c_str(), plaintext.size(), ToUtf8(options.keyName).c_str(), ciphertext.size(),
           ToUtf8(options.outputPath).c_str());
    return 0;
}

int RunDecryptCommand(const ToolOptions& options)
{
    std::vector<uint8_t> ciphertext;
    KeyWithBlock k;
    if (!ReadWholeFile(ToWide(options.inputPath), ciphertext) || !OpenToolKeyBlock(options, k)) {
        return 1;
    }
    // The plaintext is never longer than one block.
    std::vector<uint8_t> plaintext;
    const bool ok = Succeeded(Decrypt(k.key, nullptr, NCRYPT_PAD_PKCS1_FLAG, ciphertext, k.blockLength, plaintext)) &&
                    WriteWholeFile(ToWide(options.outputPath), plaintext.data(), plaintext.size());
    SecureZeroMemory(plaintext.data(), plaintext.size());
    if (!ok) {
        return 1;
    }
    printf("Decrypted %s (%zu bytes) with key \"%s\" (PKCS#1 v1.5): %zu bytes written to %s\n",
           ToUtf8(options.inputPath).c_str(), ciphertext.size(), ToUtf8(options.keyName).c_str(), plaintext.size(),
           ToUtf8(options.outputPath).c_str());
    return 0;
}

}  // namespace zkt
