#include "imported_key.h"

#include "rsa_key.h"
#include "unique_resource.h"

#include <bcrypt.h>

#include <cstdio>

namespace {

ImportOutcome BCryptRefused(const char* what, LONG status)
{
    char text[96];
    snprintf(text, sizeof text, "%s (BCrypt status 0x%08lX)", what, static_cast<unsigned long>(status));
    return Refuse(ImportResult::InputRefused, text);
}

}  // namespace

ImportOutcome NormaliseImportedKey(const HeapBlock& candidate, HeapBlock* stored)
{
    UniqueBcryptKey key;
    ULONG bits = 0;
    LONG status = ImportRsaPrivateBlob(candidate.get(), static_cast<ULONG>(candidate.size()), key.Put(), &bits);
    if (status < 0) {
        key.Forget();
        return BCryptRefused("holds an RSA key that BCrypt does not accept", status);
    }
    // Numbers that do not belong together (a wrong prime or exponent) import
    // fine and sign wrongly; one signature checked here finds them.
    BYTE digest[32];
    for (size_t i = 0; i < sizeof digest; ++i) {
        digest[i] = static_cast<BYTE>(0xA5 ^ i);
    }
    HeapBlock signature;
    ULONG signatureLength = 0;
    status = RsaSignHash(key.get(), (bits + 7) / 8, SignPadding::Pkcs1, BCRYPT_SHA256_ALGORITHM, digest, sizeof digest,
                         &signature, &signatureLength);
    BCRYPT_PKCS1_PADDING_INFO pkcs1{BCRYPT_SHA256_ALGORITHM};
    if (status >= 0) {
        status = BCryptVerifySignature(key.get(), &pkcs1, digest, sizeof digest, signature.get(), signatureLength,
                                       BCRYPT_PAD_PKCS1);
    }
    if (status < 0) {
        return BCryptRefused("holds an RSA key whose numbers do not belong together", status);
    }
    ULONG size = 0;
    status = BCryptExportKey(key.get(), nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, nullptr, 0, &size, 0);
    HeapBlock out(size);
    if (status >= 0 && out) {
        status = BCryptExportKey(key.get(), nullptr, BCRYPT_RSAFULLPRIVATE_BLOB, out.get(), size, &size, 0);
    }
    if (status < 0 || !out) {
        return Refuse(ImportResult::Failed, "BCrypt could not export the imported key");
    }
    stored->Adopt(out.Release(), size);
    return {};
}
