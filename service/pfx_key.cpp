#include "pfx_key.h"

#include "private_key_decode.h"
#include "unique_resource.h"

#include <wincrypt.h>
#include <ncrypt.h>

#include <string>

namespace {

struct Container {
    std::wstring name;
    std::wstring provider;
    DWORD providerType = 0;
    DWORD flags = 0;
    DWORD keySpec = 0;
};

// Deletes a key container the import made: a PFX import leaves none behind.
void DeleteContainer(const Container& c)
{
    if (c.providerType != 0) {
        // With CRYPT_DELETEKEYSET no context comes back, so none is released.
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, c.name.c_str(), c.provider.c_str(), c.providerType,
                             CRYPT_DELETEKEYSET | (c.flags & CRYPT_MACHINE_KEYSET));
        return;
    }
    UniqueNcryptObject provider;
    if (NCryptOpenStorageProvider(provider.Put(), c.provider.c_str(), 0) != 0) {
        provider.Forget();
        return;
    }
    NCRYPT_KEY_HANDLE key = 0;
    if (NCryptOpenKey(provider.get(), &key, c.name.c_str(), c.keySpec, c.flags & NCRYPT_MACHINE_KEY_FLAG) == 0) {
        NCryptDeleteKey(key, 0);  // frees the handle too
    }
}

// The imported store and the key containers it filled; the containers are
// deleted when it goes, then the store is closed.
struct ImportedPfx {
    UniqueCertStore store;
    std::vector<Container> containers;

    ImportedPfx() = default;
    ImportedPfx(const ImportedPfx&) = delete;
    ImportedPfx& operator=(const ImportedPfx&) = delete;
    ~ImportedPfx()
    {
        for (const Container& c : containers) {
            DeleteContainer(c);
        }
    }
};

bool ReadContainer(PCCERT_CONTEXT certificate, Container* container)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) || size == 0) {
        return false;
    }
    std::vector<ULONGLONG> buffer((size + 7) / 8);  // the record holds pointers
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buffer.data());
    if (info == nullptr || !CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size)) {
        return false;
    }
    container->name = info->pwszContainerName != nullptr ? info->pwszContainerName : L"";
    container->provider = info->pwszProvName != nullptr ? info->pwszProvName : L"";
    container->providerType = info->dwProvType;
    container->flags = info->dwFlags;
    container->keySpec = info->dwKeySpec;
    return true;
}

ImportOutcome ExportLegacy(PCCERT_CONTEXT certificate, HeapBlock* legacy)
{
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = 0;
    DWORD keyKind = 0;
    BOOL mustFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &handle, &keyKind, &mustFree)) {
        return Refuse(ImportResult::Failed, "its key could not be opened after the import");
    }
    ImportOutcome outcome = Refuse(ImportResult::Failed, "its key could not be exported after the import");
    if (keyKind == CERT_NCRYPT_KEY_SPEC) {
        // Released only when the call says the handle is ours.
        const UniqueNcryptObject owned(mustFree ? handle : 0);
        DWORD size = 0;
        if (NCryptExportKey(handle, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, nullptr, 0, &size, 0) == 0) {
            HeapBlock out(size);
            if (out && NCryptExportKey(handle, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, out.get(), size, &size, 0) == 0) {
                legacy->Adopt(out.Release(), size);
                outcome = {};
            }
        }
        return outcome;
    }
    const UniqueCryptProvider owned(mustFree ? handle : 0);
    // Which of the container's two keys holds it depends on how the PFX
    // was made; try both.
    for (DWORD keySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        UniqueCryptKey key;
        if (!CryptGetUserKey(handle, keySpec, key.Put())) {
            key.Forget();
            continue;
        }
        DWORD size = 0;
        if (CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
            HeapBlock out(size);
            if (out && CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, out.get(), &size)) {
                legacy->Adopt(out.Release(), size);
                outcome = {};
                break;
            }
        }
    }
    return outcome;
}

}  // namespace

ImportOutcome DecodePfx(const HeapBlock& pfx, const wchar_t* password, HeapBlock* fullBlob, ULONG* bits,
                        std::vector<BYTE>* certificate)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.get()};
    ImportedPfx imported;
    imported.store.Reset(PFXImportCertStore(&blob, password, CRYPT_EXPORTABLE | CRYPT_USER_KEYSET));
    if (!imported.store) {
        return Refuse(ImportResult::PasswordWrong, "did not open with that password (or the PFX is damaged)");
    }
    UniqueCertContext withKey;
    size_t keys = 0;
    // The enumeration frees each context as it hands out the next.
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(imported.store.get(), c)) != nullptr) {
        Container container;
        if (ReadContainer(c, &container)) {
            imported.containers.push_back(container);
            ++keys;
            if (!withKey) {
                withKey.Reset(CertDuplicateCertificateContext(c));
            }
        }
    }
    if (keys != 1) {
        return Refuse(ImportResult::InputRefused,
                      keys == 0 ? "holds no private key" : "holds " + std::to_string(keys) +
                                                               " private keys; export the one to import on its own");
    }
    HeapBlock legacy;
    ImportOutcome outcome = ExportLegacy(withKey.get(), &legacy);
    if (outcome.result == ImportResult::Ok) {
        outcome = FromLegacyBlob(legacy.get(), legacy.size(), fullBlob, bits);
    }
    if (outcome.result == ImportResult::Ok) {
        certificate->assign(withKey.get()->pbCertEncoded, withKey.get()->pbCertEncoded + withKey.get()->cbCertEncoded);
    }
    return outcome;
}
