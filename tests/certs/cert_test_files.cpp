#include "cert_test_files.h"

#include "child_process.h"

#include <atomic>

namespace zt {

std::string SharedFolder::Sh(const wchar_t* name) const
{
    return ShellQuote(UnixPath(File(name)));
}

bool SharedFolder::Exists(const wchar_t* name) const
{
    return GetFileAttributesW(File(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

ProgramRun RunTool(const std::vector<std::wstring>& args)
{
    return RunProgram(BesideExe(L"ZentravaKSPTool.exe"), args);
}

ProgramRun RunServiceCommand(const std::vector<std::wstring>& args, const std::string& dataRoot)
{
    std::vector<std::wstring> all = args;
    all.push_back(L"--data-root");
    all.push_back(std::wstring(dataRoot.begin(), dataRoot.end()));
    return RunProgram(BesideExe(L"ZentravaSigningService.exe"), all);
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TestStore::TestStore()
{
    static std::atomic<unsigned> counter{0};
    name_ = L"ZentravaTest" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(counter++);
}

TestStore::~TestStore()
{
    CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_DELETE_FLAG,
                  name_.c_str());
    // Wine ignores the delete flag for system stores; their registry key is
    // the whole store.
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Microsoft\\SystemCertificates\\" + name_).c_str());
}

HCERTSTORE TestStore::OpenExisting() const
{
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                         CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG,
                         name_.c_str());
}

size_t TestStore::CertificateCount() const
{
    HCERTSTORE store = OpenExisting();
    if (store == nullptr) {
        return 0;
    }
    size_t n = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) {
        ++n;
    }
    CertCloseStore(store, 0);
    return n;
}

std::vector<BYTE> CertificateHashOf(const std::wstring& path)
{
    std::string bytes;
    std::vector<BYTE> hash;
    if (!ReadFileBytes(path, bytes)) {
        return hash;
    }
    std::vector<BYTE> der(bytes.begin(), bytes.end());
    if (!bytes.empty() && bytes[0] != 0x30) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(bytes.data(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                  &size, nullptr, nullptr)) {
            return hash;
        }
        der.assign(size, 0);
        CryptStringToBinaryA(bytes.data(), static_cast<DWORD>(bytes.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                             &size, nullptr, nullptr);
        der.resize(size);
    }
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (c == nullptr) {
        return hash;
    }
    hash.resize(20);
    DWORD size = 20;
    if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash.data(), &size)) {
        hash.clear();
    }
    CertFreeCertificateContext(c);
    return hash;
}

std::string HexUpper(const std::vector<BYTE>& bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

}  // namespace zt
