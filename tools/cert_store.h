// The current user's certificate stores and the link from a certificate to
// its key: CERT_KEY_PROV_INFO_PROP_ID naming the provider and the key, the
// property CryptAcquireCertificatePrivateKey and signing tools follow.
#pragma once

#include "unique_resource.h"

#include <windows.h>
#include <wincrypt.h>

#include <string>

namespace zkt {

// A system store of the current user. `mayCreate` false: only one that
// exists (a missing one fails with ERROR_FILE_NOT_FOUND).
bool OpenUserStore(const std::wstring& name, bool mayCreate, UniqueCertStore& store);

// Writes changes through to the registry. Wine keeps a deletion only in
// memory until this is asked for; on Windows it is harmless.
bool CommitStore(const UniqueCertStore& store);

// "CurrentUser\My", for messages.
std::string StoreLabel(const std::wstring& name);

struct KeyLink {
    std::wstring provider;
    std::wstring keyName;  // the container
    DWORD providerType = 0;
    DWORD keySpec = 0;
};

// False when the certificate has no key link.
bool ReadKeyLink(PCCERT_CONTEXT certificate, KeyLink& link);
// Links to the key of that name in our provider: provider type 0 and a
// dwKeySpec of 0 mark a CNG key storage provider.
bool SetKeyLink(PCCERT_CONTEXT certificate, const std::wstring& keyName);
bool IsLinkedToProvider(const KeyLink& link);

// SHA-1 thumbprint in upper-case hex, as certificate tools show it.
std::string Thumbprint(PCCERT_CONTEXT certificate);
std::string SubjectText(PCCERT_CONTEXT certificate);
// "2027-12-08 14:03:11 UTC"
std::string ExpiryText(PCCERT_CONTEXT certificate);

}  // namespace zkt
