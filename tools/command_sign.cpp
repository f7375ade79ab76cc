// "sign" and "verify": hash the file here, sign through the provider (the
// signing service holds the private key), verify on the key's public half.
#include "commands.h"
#include "hash_algorithm.h"

#include "file_hash.h"
#include "file_io.h"
#include "report.h"
#include "signature_padding.h"
#include "utf16_text.h"

#include <bcrypt.h>
#include <ncrypt.h>

#include <cstdio>

namespace zkt {
namespace {

bool HashInput(const ToolOptions& o, std::vector<uint8_t>& digest, size_t& inputSize)
{
    std::vector<uint8_t> data;
    if (!ReadWholeFile(ToWide(o.inputPath), data)) {
        return false;
    }
    inputSize = data.size();
    return Succeeded(HashBytes(o.hash, data, digest));
}

}  // namespace

int RunSignCommand(const ToolOptions& options)
{
    std::vector<uint8_t> digest;
    size_t inputSize = 0;
    // An RSA signature is exactly as long as the modulus.
    KeyWithBlock k;
    if (!HashInput(options, digest, inputSize) || !OpenToolKeyBlock(options, k)) {
        return 1;
    }
    SignaturePaddingInfo padding;
    ChoosePadding(options.hash, options.padding, padding);
    std::vector<uint8_t> signature;
    if (!Succeeded(SignHash(k.key, padding.info, padding.flags, digest, k.blockLength, signature))) {
        return 1;
    }
    if (!WriteWholeFile(ToWide(options.outputPath), signature.data(), signature.size())) {
        return 1;
    }
    printf("Signed %s (%zu bytes) with key \"%s\"\n", ToUtf8(options.inputPath).c_str(), inputSize,
           ToUtf8(options.keyName).c_str());
    printf("  %-24s %s\n", "Hash", ToUtf8(HashAlgorithmId(options.hash)).c_str());
    printf("  %-24s %s\n", "Digest", HexString(digest).c_str());
    printf("  %-24s %s\n", "Padding", padding.label);
    printf("  %-24s %zu bytes written to %s\n", "Signature", signature.size(), ToUtf8(options.outputPath).c_str());
    return 0;
}

int RunVerifyCommand(const ToolOptions& options)
{
    std::vector<uint8_t> digest;
    size_t inputSize = 0;
    std::vector<uint8_t> signature;
    if (!HashInput(options, digest, inputSize) || !ReadWholeFile(ToWide(options.signaturePath), signature)) {
        return 1;
    }
    ProviderSession s;
    OpenedKey key;
    if (!OpenToolKey(options, s, key)) {
        return 1;
    }
    SignaturePaddingInfo padding;
    ChoosePadding(options.hash, options.padding, padding);
    if (!Succeeded(VerifySignature(key, padding.info, padding.flags, digest, signature))) {
        printf("Signature %s does NOT match %s under key \"%s\"\n", ToUtf8(options.signaturePath).c_str(),
               ToUtf8(options.inputPath).c_str(), ToUtf8(options.keyName).c_str());
        return 1;
    }
    printf("Signature %s is valid for %s (%zu bytes) under key \"%s\" (%s, %s)\n",
           ToUtf8(options.signaturePath).c_str(), ToUtf8(options.inputPath).c_str(), inputSize,
           ToUtf8(options.keyName).c_str(), ToUtf8(HashAlgorithmId(options.hash)).c_str(), padding.label);
    return 0;
}

}  // namespace zkt
