// "certs": the certificates of a store of the current user that are linked
// to a key of this provider.
#include "commands.h"

#include "cert_store.h"
#include "report.h"
#include "unique_resource.h"
#include "utf16_text.h"

#include <cstdio>

namespace zkt {

int RunCertsCommand(const ToolOptions& options)
{
    UniqueCertStore store;
    const std::string where = StoreLabel(ToWide(options.storeName));
    int count = 0;
    std::string lines;
    if (OpenUserStore(ToWide(options.storeName), false, store)) {
        PCCERT_CONTEXT certificate = nullptr;
        while ((certificate = CertEnumCertificatesInStore(store.get(), certificate)) != nullptr) {
            KeyLink link;
            if (!ReadKeyLink(certificate, link) || !IsLinkedToProvider(link)) {
                continue;
            }
            ++count;
            lines += "  " + Thumbprint(certificate) + "  key \"" + ToUtf8(link.keyName) + "\"  expires " +
                     ExpiryText(certificate) + "  " + SubjectText(certificate) + "\n";
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        ReportWin32Failure("CertOpenStore(" + where + ")", GetLastError());
        return 1;
    }
    printf("Certificates in %s linked to %s: %d\n%s", where.c_str(), ToUtf8(kProviderName).c_str(), count,
           lines.c_str());
    return 0;
}

}  // namespace zkt
