#include "certificate_file.h"

#include "file_io.h"
#include "pem.h"
#include "report.h"
#include "unique_resource.h"

#include <cstdio>

namespace zkt {
namespace {

constexpr uint8_t kSequenceTag = 0x30;

}  // namespace

bool CertificateFromBytes(const Bytes& data, UniqueCertContext& certificate, std::string& error)
{
    Bytes der;
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    pem::Block block;
    if (!data.empty() && data[0] == kSequenceTag) {
        der = data;
    } else if (pem::FindBlock(text, &block)) {
        if (block.label != "CERTIFICATE") {
            error = "holds a PEM \"" + block.label + "\" block, not a certificate";
            return false;
        }
        std::size_t size = 0;
        if (!pem::DecodeBody(text, block, nullptr, &size) || size == 0) {
            error = "holds a PEM certificate block whose base64 does not decode";
            return false;
        }
        der.assign(size, 0);
        if (!pem::DecodeBody(text, block, der.data(), &size)) {
            error = "holds a PEM certificate block whose base64 does not decode";
            return false;
        }
        der.resize(size);
    } else {
        error = "is neither a PEM certificate nor DER";
        return false;
    }
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (context == nullptr) {
        char code[16];
        snprintf(code, sizeof code, "0x%08lX", GetLastError());
        error = std::string("is not an X.509 certificate (crypt32: ") + code + ")";
        return false;
    }
    certificate.Reset(context);
    return true;
}

bool ReadCertificateFile(const std::wstring& path, UniqueCertContext& certificate)
{
    Bytes data;
    if (!ReadWholeFile(path, data)) {
        return false;
    }
    std::string error;
    if (!CertificateFromBytes(data, certificate, error)) {
        ReportProblem(ToUtf8(path) + " " + error);
        return false;
    }
    return true;
}

bool WriteDerOrPem(const std::wstring& path, ExportFormat format, const char* pemLabel, const Bytes& der)
{
    if (format == ExportFormat::Der) {
        return WriteWholeFile(path, der.data(), der.size());
    }
    const std::string text = pem::Encode(pemLabel, der);
    return WriteWholeFile(path, text.data(), text.size());
}

}  // namespace zkt
