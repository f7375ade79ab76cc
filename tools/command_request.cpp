// "csr": a PKCS #10 certification request for the key, signed by the key
// through the provider, for a certification authority to turn into a
// certificate.
#include "commands.h"

#include "certificate_file.h"
#include "extensions.h"
#include "key_certificate.h"
#include "report.h"
#include "request_body.h"
#include "subject_name.h"
#include "utf16_text.h"

#include <cstdio>

namespace zkt {

int RunRequestCommand(const ToolOptions& options)
{
    Bytes subject;
    std::string error;
    if (!EncodeSubjectName(ToWide(options.subject), subject, error)) {
        ReportProblem(error);
        return 2;
    }
    SignatureAlgorithm algorithm;
    std::vector<Extension> extensions;
    Extension altNames;
    if (!ChooseSignatureAlgorithm(options.hash, options.padding, algorithm) ||
        (!options.dnsNames.empty() && !SubjectAltNames(ToWide(options.dnsNames), altNames))) {
        ReportWin32Failure("CryptEncodeObjectEx", GetLastError());
        return 1;
    }
    if (!options.dnsNames.empty()) {
        extensions.push_back(altNames);
    }
    ProviderSession s;
    OpenedKey key;
    Bytes publicKey, body, request;
    if (!OpenToolKey(options, s, key) || !ReadSubjectPublicKeyInfo(key, publicKey)) {
        return 1;
    }
    if (!BuildRequestBody(subject, publicKey, extensions, body)) {
        ReportWin32Failure("CryptEncodeObjectEx (request body)", GetLastError());
        return 1;
    }
    if (!SignBody(key, options, body, algorithm, request) ||
        !WriteDerOrPem(ToWide(options.outputPath), options.format, "NEW CERTIFICATE REQUEST", request)) {
        return 1;
    }
    printf("Certification request for key \"%s\" written to %s (%s, %zu DER bytes)\n",
           ToUtf8(options.keyName).c_str(), ToUtf8(options.outputPath).c_str(),
           options.format == ExportFormat::Der ? "DER" : "PEM", request.size());
    printf("  %-24s %s\n", "Subject", ToUtf8(options.subject).c_str());
    PrintNamesAndSignature(options);
    return 0;
}

}  // namespace zkt
