#include "extensions.h"

#include "tool_args.h"

namespace zkt {

bool SubjectAltNames(const std::vector<std::wstring>& dnsNames, Extension& out)
{
    std::vector<CERT_ALT_NAME_ENTRY> entries(dnsNames.size());
    for (size_t i = 0; i < dnsNames.size(); ++i) {
        entries[i].dwAltNameChoice = CERT_ALT_NAME_DNS_NAME;
        entries[i].pwszDNSName = const_cast<LPWSTR>(dnsNames[i].c_str());
    }
    CERT_ALT_NAME_INFO names{static_cast<DWORD>(entries.size()), entries.data()};
    out.oid = szOID_SUBJECT_ALT_NAME2;
    out.critical = false;
    return EncodeObject(X509_ALTERNATE_NAME, &names, out.value);
}

bool EndEntityBasicConstraints(Extension& out)
{
    CERT_BASIC_CONSTRAINTS2_INFO constraints{};
    constraints.fCA = FALSE;
    constraints.fPathLenConstraint = FALSE;
    out.oid = szOID_BASIC_CONSTRAINTS2;
    out.critical = true;
    return EncodeObject(X509_BASIC_CONSTRAINTS2, &constraints, out.value);
}

bool KeyUsageFor(unsigned purposes, Extension& out)
{
    BYTE usage = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    if ((purposes & kPurposeServerAuth) != 0) {
        usage |= CERT_KEY_ENCIPHERMENT_KEY_USAGE;
    }
    CRYPT_BIT_BLOB bits{1, &usage, 0};
    out.oid = szOID_KEY_USAGE;
    out.critical = true;
    return EncodeObject(X509_KEY_USAGE, &bits, out.value);
}

bool ExtendedKeyUsageFor(unsigned purposes, Extension& out)
{
    std::vector<LPSTR> oids;
    if ((purposes & kPurposeCodeSigning) != 0) {
        oids.push_back(const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING));
    }
    if ((purposes & kPurposeClientAuth) != 0) {
        oids.push_back(const_cast<LPSTR>(szOID_PKIX_KP_CLIENT_AUTH));
    }
    if ((purposes & kPurposeServerAuth) != 0) {
        oids.push_back(const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH));
    }
    CERT_ENHKEY_USAGE usage{static_cast<DWORD>(oids.size()), oids.data()};
    out.oid = szOID_ENHANCED_KEY_USAGE;
    out.critical = false;
    return !oids.empty() && EncodeObject(X509_ENHANCED_KEY_USAGE, &usage, out.value);
}

bool SubjectKeyIdentifier(const Bytes& keyId, Extension& out)
{
    CRYPT_DATA_BLOB id{static_cast<DWORD>(keyId.size()), const_cast<BYTE*>(keyId.data())};
    out.oid = szOID_SUBJECT_KEY_IDENTIFIER;
    out.critical = false;
    return EncodeObject(X509_OCTET_STRING, &id, out.value);
}

std::vector<CERT_EXTENSION> AsCertExtensions(const std::vector<Extension>& extensions)
{
    std::vector<CERT_EXTENSION> records;
    for (const Extension& e : extensions) {
        CERT_EXTENSION r{};
        r.pszObjId = const_cast<LPSTR>(e.oid);
        r.fCritical = e.critical ? TRUE : FALSE;
        r.Value = {static_cast<DWORD>(e.value.size()), const_cast<BYTE*>(e.value.data())};
        records.push_back(r);
    }
    return records;
}

bool EncodeExtensions(const std::vector<Extension>& extensions, Bytes& der)
{
    std::vector<CERT_EXTENSION> records = AsCertExtensions(extensions);
    CERT_EXTENSIONS all{static_cast<DWORD>(records.size()), records.data()};
    return EncodeObject(X509_EXTENSIONS, &all, der);
}

}  // namespace zkt
