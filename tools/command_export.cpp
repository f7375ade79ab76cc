// "export": the public key as the raw RSAPUBLICBLOB or as PEM
// SubjectPublicKeyInfo, encoded by crypt32 from the blob.
#include "commands.h"

#include "file_io.h"
#include "pem.h"
#include "public_key_info.h"
#include "report.h"
#include "utf16_text.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstring>

namespace zkt {

int RunExportCommand(const ToolOptions& options)
{
    ProviderSession s;
    OpenedKey key;
    if (!OpenToolKey(options, s, key)) {
        return 1;
    }
    std::vector<uint8_t> blob;
    if (!Succeeded(ExportKey(key, BCRYPT_RSAPUBLIC_BLOB, blob))) {
        return 1;
    }
    BCRYPT_RSAKEY_BLOB header{};
    if (blob.size() >= sizeof header) {
        memcpy(&header, blob.data(), sizeof header);
    }
    const bool toStdout = options.outputPath == u"-";
    std::string what;
    if (options.format == ExportFormat::Blob) {
        if (!WriteWholeFile(ToWide(options.outputPath), blob.data(), blob.size())) {
            return 1;
        }
        what = "RSAPUBLICBLOB (" + std::to_string(blob.size()) + " bytes)";
    } else {
        std::vector<uint8_t> der;
        const BlobError error = RsaPublicBlobToSubjectPublicKeyInfo(blob.data(), blob.size(), der);
        if (error != BlobError::None) {
            ReportProblem(std::string("export: ") + BlobErrorText(error));
            return 1;
        }
        const std::string pem = pem::Encode("PUBLIC KEY", der);
        if (toStdout) {
            fwrite(pem.data(), 1, pem.size(), stdout);
            return 0;
        }
        if (!WriteWholeFile(ToWide(options.outputPath), pem.data(), pem.size())) {
            return 1;
        }
        what = "PEM SubjectPublicKeyInfo (" + std::to_string(der.size()) + " DER bytes)";
    }
    printf("Public key of \"%s\" (%lu-bit RSA) written to %s as %s\n", ToUtf8(options.keyName).c_str(),
           static_cast<unsigned long>(header.BitLength), ToUtf8(options.outputPath).c_str(), what.c_str());
    return 0;
}

}  // namespace zkt
