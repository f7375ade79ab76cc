// "link-cert" and "unlink-cert": a certificate of the key in the current
// user's store, linked to the key so that signing tools reach it through
// CNG and this provider; and taking it out again.
#include "commands.h"

#include "cert_store.h"
#include "certificate_file.h"
#include "key_certificate.h"
#include "report.h"
#include "unique_resource.h"
#include "utf16_text.h"

#include <cstdio>
#include <cwchar>

namespace zkt {
namespace {

bool SameKey(PCCERT_CONTEXT certificate, const Bytes& subjectPublicKeyInfo)
{
    Bytes decoded;
    if (!DecodeObject(X509_PUBLIC_KEY_INFO, subjectPublicKeyInfo.data(), subjectPublicKeyInfo.size(), decoded)) {
        return false;
    }
    auto* ours = const_cast<CERT_PUBLIC_KEY_INFO*>(DecodedAs<CERT_PUBLIC_KEY_INFO>(decoded));
    return CertComparePublicKeyInfo(X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo, ours) != FALSE;
}

bool ParseThumbprint(const std::wstring& text, BYTE (&hash)[20])
{
    if (!IsThumbprint(ToUtf16(text))) {
        return false;
    }
    for (size_t i = 0; i < 20; ++i) {
        const std::wstring pair(text, 2 * i, 2);
        hash[i] = static_cast<BYTE>(std::wcstoul(pair.c_str(), nullptr, 16));
    }
    return true;
}

PCCERT_CONTEXT FindByThumbprint(HCERTSTORE store, BYTE (&hash)[20])
{
    CRYPT_HASH_BLOB blob{sizeof hash, hash};
    return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, nullptr);
}

// The thumbprint of the certificate named on the command line: a file's,
// or the argument itself when no such file exists and it is 40 hex digits.
bool ThumbprintArgument(const std::wstring& argument, BYTE (&hash)[20])
{
    if (GetFileAttributesW(argument.c_str()) == INVALID_FILE_ATTRIBUTES && ParseThumbprint(argument, hash)) {
        return true;
    }
    UniqueCertContext certificate;
    if (!ReadCertificateFile(argument, certificate)) {
        return false;
    }
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &size)) {
        ReportWin32Failure("CertGetCertificateContextProperty(SHA-1 hash)", GetLastError());
        return false;
    }
    return true;
}

}  // namespace

int RunLinkCertCommand(const ToolOptions& options)
{
    UniqueCertContext certificate;
    if (!ReadCertificateFile(ToWide(options.certificate), certificate)) {
        return 1;
    }
    ProviderSession s;
    OpenedKey key;
    Bytes publicKey;
    if (!OpenToolKey(options, s, key) || !ReadSubjectPublicKeyInfo(key, publicKey)) {
        return 1;
    }
    if (!SameKey(certificate.get(), publicKey)) {
        ReportProblem("link-cert: the public key of " + ToUtf8(options.certificate) + " is not the public key of \"" +
                      ToUtf8(options.keyName) + "\"; nothing was changed");
        return 1;
    }
    UniqueCertStore store;
    const std::string where = StoreLabel(ToWide(options.storeName));
    if (!OpenUserStore(ToWide(options.storeName), true, store)) {
        ReportWin32Failure("CertOpenStore(" + where + ")", GetLastError());
        return 1;
    }
    BYTE hash[20];
    DWORD hashSize = sizeof hash;
    CertGetCertificateContextProperty(certificate.get(), CERT_SHA1_HASH_PROP_ID, hash, &hashSize);
    UniqueCertContext present;
    present.Reset(FindByThumbprint(store.get(), hash));
    KeyLink previous;
    const bool wasLinked = present.get() != nullptr && ReadKeyLink(present.get(), previous);

    PCCERT_CONTEXT added = nullptr;
    if (!CertAddCertificateContextToStore(store.get(), certificate.get(), CERT_STORE_ADD_USE_EXISTING, &added)) {
        ReportWin32Failure("CertAddCertificateContextToStore(" + where + ")", GetLastError());
        return 1;
    }
    UniqueCertContext inStore;
    inStore.Reset(added);
    if (!SetKeyLink(inStore.get(), ToWide(options.keyName))) {
        const DWORD error = GetLastError();
        if (present.get() == nullptr) {
            CertDeleteCertificateFromStore(CertDuplicateCertificateContext(inStore.get()));
        }
        CommitStore(store);
        ReportWin32Failure("CertSetCertificateContextProperty(CERT_KEY_PROV_INFO_PROP_ID)", error);
        return 1;
    }
    if (!CommitStore(store)) {
        ReportWin32Failure("CertControlStore(" + where + ", commit)", GetLastError());
        return 1;
    }
    printf("Certificate %s linked to key \"%s\" of %s in %s\n", Thumbprint(inStore.get()).c_str(),
           ToUtf8(options.keyName).c_str(), ToUtf8(kProviderName).c_str(), where.c_str());
    printf("  %-24s %s\n", "Subject", SubjectText(inStore.get()).c_str());
    printf("  %-24s %s\n", "Expires", ExpiryText(inStore.get()).c_str());
    if (present.get() != nullptr) {
        printf("  %-24s %s\n", "Was already in the store",
               wasLinked ? ("linked to \"" + ToUtf8(previous.keyName) + "\" of " + ToUtf8(previous.provider)).c_str()
                         : "without a key");
    }
    return 0;
}

int RunUnlinkCertCommand(const ToolOptions& options)
{
    BYTE hash[20];
    if (!ThumbprintArgument(ToWide(options.certificate), hash)) {
        return 1;
    }
    UniqueCertStore store;
    const std::string where = StoreLabel(ToWide(options.storeName));
    UniqueCertContext found;
    if (OpenUserStore(ToWide(options.storeName), false, store)) {
        found.Reset(FindByThumbprint(store.get(), hash));
    }
    if (found.get() == nullptr) {
        ReportProblem("unlink-cert: no such certificate in " + where + "; nothing was changed");
        return 1;
    }
    KeyLink link;
    if (!ReadKeyLink(found.get(), link) || !IsLinkedToProvider(link) || link.keyName != ToWide(options.keyName)) {
        ReportProblem("unlink-cert: certificate " + Thumbprint(found.get()) + " in " + where +
                      " is not linked to key \"" + ToUtf8(options.keyName) + "\" of " + ToUtf8(kProviderName) +
                      "; nothing was changed");
        return 1;
    }
    const std::string thumbprint = Thumbprint(found.get());
    const std::string subject = SubjectText(found.get());
    // CertDeleteCertificateFromStore frees the context it is given.
    if (!CertDeleteCertificateFromStore(CertDuplicateCertificateContext(found.get()))) {
        ReportWin32Failure("CertDeleteCertificateFromStore(" + where + ")", GetLastError());
        return 1;
    }
    if (!CommitStore(store)) {
        ReportWin32Failure("CertControlStore(" + where + ", commit)", GetLastError());
        return 1;
    }
    printf("Certificate %s (%s) removed from %s; key \"%s\" itself is unchanged\n", thumbprint.c_str(),
           subject.c_str(), where.c_str(), ToUtf8(options.keyName).c_str());
    return 0;
}

}  // namespace zkt
