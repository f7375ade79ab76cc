#include "cert_store.h"

#include "provider_name.h"
#include "report.h"
#include "unique_resource.h"

#include <cstdio>
#include <vector>

namespace zkt {

bool OpenUserStore(const std::wstring& name, bool mayCreate, UniqueCertStore& store)
{
    DWORD flags = CERT_SYSTEM_STORE_CURRENT_USER;
    if (!mayCreate) {
        flags |= CERT_STORE_OPEN_EXISTING_FLAG;
    }
    store.Reset(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, flags, name.c_str()));
    return static_cast<bool>(store);
}

bool CommitStore(const UniqueCertStore& store)
{
    return CertControlStore(store.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr) != FALSE;
}

std::string StoreLabel(const std::wstring& name)
{
    return "CurrentUser\\" + ToUtf8(name);
}

bool ReadKeyLink(PCCERT_CONTEXT certificate, KeyLink& link)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) {
        return false;
    }
    std::vector<uint64_t> buffer((size + 7) / 8);  // the record holds pointers
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) {
        return false;
    }
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (info == nullptr) {
        return false;
    }
    link.provider = info->pwszProvName != nullptr ? info->pwszProvName : L"";
    link.keyName = info->pwszContainerName != nullptr ? info->pwszContainerName : L"";
    link.providerType = info->dwProvType;
    link.keySpec = info->dwKeySpec;
    return true;
}

bool SetKeyLink(PCCERT_CONTEXT certificate, const std::wstring& keyName)
{
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = const_cast<LPWSTR>(keyName.c_str());
    info.pwszProvName = const_cast<LPWSTR>(kProviderName);
    info.dwProvType = 0;
    info.dwFlags = 0;
    info.dwKeySpec = 0;
    return CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
}

bool IsLinkedToProvider(const KeyLink& link)
{
    return link.provider == kProviderName && link.providerType == 0;
}

std::string Thumbprint(PCCERT_CONTEXT certificate)
{
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) {
        return "?";
    }
    std::string out;
    char two[3];
    for (DWORD i = 0; i < size; ++i) {
        snprintf(two, sizeof two, "%02X", hash[i]);
        out += two;
    }
    return out;
}

std::string SubjectText(PCCERT_CONTEXT certificate)
{
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD flags = CERT_X500_NAME_STR;
    const DWORD length = CertNameToStrW(X509_ASN_ENCODING, subject, flags, nullptr, 0);
    if (length <= 1) {
        return "";
    }
    std::wstring text(length, L'\0');
    CertNameToStrW(X509_ASN_ENCODING, subject, flags, text.data(), length);
    text.resize(length - 1);
    return ToUtf8(text);
}

std::string ExpiryText(PCCERT_CONTEXT certificate)
{
    SYSTEMTIME t{};
    if (!FileTimeToSystemTime(&certificate->pCertInfo->NotAfter, &t)) {
        return "?";
    }
    char text[40];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
    return text;
}

}  // namespace zkt
