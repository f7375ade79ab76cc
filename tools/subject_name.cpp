#include "subject_name.h"

#include "report.h"

namespace zkt {

bool EncodeSubjectName(const std::wstring& text, Bytes& der, std::string& error)
{
    // UTF8String where a value is not printable ASCII, as RFC 5280 prefers.
    constexpr DWORD kFlags = CERT_X500_NAME_STR | CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG;
    DWORD size = 0;
    LPCWSTR stop = nullptr;
    if (CertStrToNameW(X509_ASN_ENCODING, text.c_str(), kFlags, nullptr, nullptr, &size, &stop)) {
        der.assign(size, 0);
        if (CertStrToNameW(X509_ASN_ENCODING, text.c_str(), kFlags, nullptr, der.data(), &size, &stop)) {
            der.resize(size);
            return true;
        }
    }
    error = "--subject \"" + ToUtf8(text) + "\" is not an X.500 name";
    if (stop != nullptr && *stop != L'\0') {
        error += " (stopped at \"" + ToUtf8(stop) + "\")";
    } else if (stop != nullptr) {
        error += " (it ends too early)";
    }
    error += "; write it as attribute=value pairs, e.g. \"CN=build signer,O=Example,C=DE\"";
    return false;
}

}  // namespace zkt
