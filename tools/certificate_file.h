// Certificates read from files (PEM "CERTIFICATE" or DER) and written to
// them, through crypt32.
#pragma once

#include "der_encode.h"
#include "tool_args.h"
#include "unique_resource.h"

#include <string>

namespace zkt {

// PEM text with a "CERTIFICATE" block, or DER. False with a message saying
// what the bytes are instead.
bool CertificateFromBytes(const Bytes& data, UniqueCertContext& certificate, std::string& error);

// Reads and parses; reports every failure itself.
bool ReadCertificateFile(const std::wstring& path, UniqueCertContext& certificate);

// The PEM label and DER of a request or certificate written in the asked
// format; reports a failure itself.
bool WriteDerOrPem(const std::wstring& path, ExportFormat format, const char* pemLabel, const Bytes& der);

}  // namespace zkt
