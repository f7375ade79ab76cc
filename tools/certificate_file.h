// Certificates read from files (PEM "CERTIFICATE" or DER) and written to
// them, through crypt32.
#pragma once

#include "der_encode.h"
#include "tool_args.h"

#include <string>

namespace zkt {

// Owns one certificate context.
class CertificateContext {
public:
    CertificateContext() = default;
    ~CertificateContext() { Reset(); }
    CertificateContext(const CertificateContext&) = delete;
    CertificateContext& operator=(const CertificateContext&) = delete;
    void Reset(PCCERT_CONTEXT context = nullptr)
    {
        if (context_ != nullptr) {
            CertFreeCertificateContext(context_);
        }
        context_ = context;
    }
    PCCERT_CONTEXT get() const { return context_; }

private:
    PCCERT_CONTEXT context_ = nullptr;
};

// PEM text with a "CERTIFICATE" block, or DER. False with a message saying
// what the bytes are instead.
bool CertificateFromBytes(const Bytes& data, CertificateContext& certificate, std::string& error);

// Reads and parses; reports every failure itself.
bool ReadCertificateFile(const std::wstring& path, CertificateContext& certificate);

// The PEM label and DER of a request or certificate written in the asked
// format; reports a failure itself.
bool WriteDerOrPem(const std::wstring& path, ExportFormat format, const char* pemLabel, const Bytes& der);

}  // namespace zkt
