#include "key_certificate.h"
#include "hash_algorithm.h"

#include "commands.h"
#include "file_hash.h"
#include "public_key_info.h"
#include "report.h"
#include "signature_padding.h"
#include "signed_object.h"
#include "utf16_text.h"

#include <bcrypt.h>

#include <cstdio>

namespace zkt {

bool ReadSubjectPublicKeyInfo(OpenedKey& key, Bytes& subjectPublicKeyInfo)
{
    Bytes blob;
    if (!Succeeded(ExportKey(key, BCRYPT_RSAPUBLIC_BLOB, blob))) {
        return false;
    }
    const BlobError error = RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), subjectPublicKeyInfo);
    if (error != BlobError::None) {
        ReportProblem(std::string("the key's public half: ") + BlobErrorText(error));
        return false;
    }
    return true;
}

bool SignBody(OpenedKey& key, const ToolOptions& options, const Bytes& body, const SignatureAlgorithm& algorithm,
              Bytes& signedDer)
{
    Bytes digest;
    DWORD blockLength = 0;
    if (!Succeeded(HashBytes(options.hash, body, digest)) || !ReadKeyDword(key, L"Block Length", blockLength)) {
        return false;
    }
    SignaturePaddingInfo padding;
    ChoosePadding(options.hash, options.padding, padding);
    Bytes signature;
    if (!Succeeded(SignHash(key, padding.info, padding.flags, digest, blockLength, signature))) {
        return false;
    }
    if (!WrapSigned(body, algorithm, signature, signedDer)) {
        ReportWin32Failure("CryptEncodeObjectEx(X509_CERT)", GetLastError());
        return false;
    }
    return true;
}

bool KeyIdentifier(const Bytes& subjectPublicKeyInfo, Bytes& keyId)
{
    Bytes decoded;
    if (!DecodeObject(X509_PUBLIC_KEY_INFO, subjectPublicKeyInfo.data(), subjectPublicKeyInfo.size(), decoded)) {
        ReportWin32Failure("CryptDecodeObjectEx(X509_PUBLIC_KEY_INFO)", GetLastError());
        return false;
    }
    const auto* info = DecodedAs<CERT_PUBLIC_KEY_INFO>(decoded);
    const Bytes bits(info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
    return Succeeded(HashBytes(HashAlgorithm::Sha1, bits, keyId));
}

void PrintNamesAndSignature(const ToolOptions& options)
{
    for (const std::u16string& name : options.dnsNames) {
        printf("  %-24s %s\n", "DNS name", ToUtf8(name).c_str());
    }
    printf("  %-24s %s with %s\n", "Signature", options.padding == SignaturePadding::Pss ? "RSASSA-PSS" : "PKCS#1 v1.5",
           ToUtf8(HashAlgorithmId(options.hash)).c_str());
}

}  // namespace zkt
