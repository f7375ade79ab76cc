// "selfsign": an X.509 v3 certificate for the key, issued and signed by the
// key itself through the provider.
#include "commands.h"

#include "certificate_body.h"
#include "cert_store.h"
#include "certificate_file.h"
#include "extensions.h"
#include "key_certificate.h"
#include "report.h"
#include "subject_name.h"
#include "unique_resource.h"
#include "utf16_text.h"

#include <cstdio>

namespace zkt {
namespace {

bool CertificateExtensions(const ToolOptions& options, const Bytes& keyId, std::vector<Extension>& extensions)
{
    Extension basic, usage, purposes, identifier, altNames;
    if (!EndEntityBasicConstraints(basic) || !KeyUsageFor(options.purposes, usage) ||
        !SubjectKeyIdentifier(keyId, identifier)) {
        return false;
    }
    extensions = {basic, usage};
    if (options.purposes != 0) {
        if (!ExtendedKeyUsageFor(options.purposes, purposes)) {
            return false;
        }
        extensions.push_back(purposes);
    }
    extensions.push_back(identifier);
    if (!options.dnsNames.empty()) {
        if (!SubjectAltNames(ToWide(options.dnsNames), altNames)) {
            return false;
        }
        extensions.push_back(altNames);
    }
    return true;
}

std::string PurposeText(unsigned purposes)
{
    std::string text;
    for (const auto& [bit, name] : {std::pair<unsigned, const char*>{kPurposeCodeSigning, "code signing"},
                                    {kPurposeClientAuth, "TLS client"},
                                    {kPurposeServerAuth, "TLS server"}}) {
        if ((purposes & bit) != 0) {
            text += text.empty() ? name : std::string(", ") + name;
        }
    }
    return text.empty() ? "(none: any purpose)" : text;
}

}  // namespace

int RunSelfSignCommand(const ToolOptions& options)
{
    CertificateFields fields;
    std::string error;
    if (!EncodeSubjectName(ToWide(options.subject), fields.subject, error)) {
        ReportProblem(error);
        return 2;
    }
    if (!ChooseSignatureAlgorithm(options.hash, options.padding, fields.signature)) {
        ReportWin32Failure("CryptEncodeObjectEx", GetLastError());
        return 1;
    }
    const LONG random = RandomSerialNumber(fields.serialNumber);
    if (random != 0) {
        ReportStatusFailure("BCryptGenRandom (serial number)", random);
        return 1;
    }
    ValidityFromNow(options.days, fields.notBefore, fields.notAfter);

    ProviderSession s;
    OpenedKey key;
    Bytes keyId, body, certificate;
    if (!OpenToolKey(options, s, key) || !ReadSubjectPublicKeyInfo(key, fields.subjectPublicKeyInfo) ||
        !KeyIdentifier(fields.subjectPublicKeyInfo, keyId)) {
        return 1;
    }
    if (!CertificateExtensions(options, keyId, fields.extensions) || !BuildCertificateBody(fields, body)) {
        ReportWin32Failure("CryptEncodeObjectEx (certificate body)", GetLastError());
        return 1;
    }
    if (!SignBody(key, options, body, fields.signature, certificate) ||
        !WriteDerOrPem(ToWide(options.outputPath), options.format, "CERTIFICATE", certificate)) {
        return 1;
    }
    printf("Self-signed certificate for key \"%s\" written to %s (%s, %zu DER bytes)\n",
           ToUtf8(options.keyName).c_str(), ToUtf8(options.outputPath).c_str(),
           options.format == ExportFormat::Der ? "DER" : "PEM", certificate.size());
    UniqueCertContext parsed;
    std::string unused;
    if (CertificateFromBytes(certificate, parsed, unused)) {
        printf("  %-24s %s\n", "Thumbprint (SHA-1)", Thumbprint(parsed.get()).c_str());
    }
    printf("  %-24s %s\n", "Subject and issuer", ToUtf8(options.subject).c_str());
    printf("  %-24s %lu days\n", "Valid for", static_cast<unsigned long>(options.days));
    printf("  %-24s %s\n", "Extended key usage", PurposeText(options.purposes).c_str());
    PrintNamesAndSignature(options);
    return 0;
}

}  // namespace zkt
