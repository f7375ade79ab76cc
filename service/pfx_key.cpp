#include "pfx_key.h"

#include "private_key_decode.h"

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

// The imported store and the key containers it filled; the destructor
// deletes the containers and closes the store.
class ImportedPfx {
public:
    ~ImportedPfx()
    {
        for (const Container& c : containers) {
            if (c.providerType != 0) {
                HCRYPTPROV gone = 0;
                CryptAcquireContextW(&gone, c.name.c_str(), c.provider.c_str(), c.providerType,
                                     CRYPT_DELETEKEYSET | (c.flags & CRYPT_MACHINE_KEYSET));
            } else {
                NCRYPT_PROV_HANDLE provider = 0;
                NCRYPT_KEY_HANDLE key = 0;
                if (NCryptOpenStorageProvider(&provider, c.provider.c_str(), 0) == 0) {
                    if (NCryptOpenKey(provider, &key, c.name.c_str(), c.keySpec, c.flags & NCRYPT_MACHINE_KEY_FLAG) == 0) {
                        NCryptDeleteKey(key, 0);  // frees the handle too
                    }
                    NCryptFreeObject(provider);
                }
            }
        }
        if (store != nullptr) {
            CertCloseStore(store, 0);
        }
    }
    HCERTSTORE store = nullptr;
    std::vector<Container> containers;
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
    DWORD spec = 0;
    BOOL mustFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &handle, &spec, &mustFree)) {
        return Refuse(ImportResult::Failed, "its key could not be opened after the import");
    }
    ImportOutcome outcome = Refuse(ImportResult::Failed, "its key could not be exported after the import");
    if (spec == CERT_NCRYPT_KEY_SPEC) {
        DWORD size = 0;
        if (NCryptExportKey(handle, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, nullptr, 0, &size, 0) == 0) {
            HeapBlock out(size);
            if (out && NCryptExportKey(handle, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, out.get(), size, &size, 0) == 0) {
                legacy->Adopt(out.Release(), size);
                outcome = {};
            }
        }
        if (mustFree) {
            NCryptFreeObject(handle);
        }
        return outcome;
    }
    // Which of the container's two keys holds it depends on how the PFX
    // was made; try both.
    for (DWORD keySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(handle, keySpec, &key)) {
            continue;
        }
        DWORD size = 0;
        if (CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
            HeapBlock out(size);
            if (out && CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, out.get(), &size)) {
                legacy->Adopt(out.Release(), size);
                outcome = {};
            }
        }
        CryptDestroyKey(key);
        if (outcome.result == ImportResult::Ok) {
            break;
        }
    }
    if (mustFree) {
        CryptReleaseContext(handle, 0);
    }
    return outcome;
}

}  // namespace

ImportOutcome DecodePfx(const HeapBlock& pfx, const wchar_t* password, HeapBlock* fullBlob, ULONG* bits,
                        std::vector<BYTE>* certificate)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.get()};
    ImportedPfx imported;
    imported.store = PFXImportCertStore(&blob, password, CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
    if (imported.store == nullptr) {
        return Refuse(ImportResult::PasswordWrong, "did not open with that password (or the PFX is damaged)");
    }
    PCCERT_CONTEXT withKey = nullptr;
    size_t keys = 0;
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(imported.store, c)) != nullptr) {
        Container container;
        if (ReadContainer(c, &container)) {
            imported.containers.push_back(container);
            ++keys;
            if (withKey == nullptr) {
                withKey = CertDuplicateCertificateContext(c);
            }
        }
    }
    if (keys != 1) {
        if (withKey != nullptr) {
            CertFreeCertificateContext(withKey);
        }
        return Refuse(ImportResult::InputRefused,
                      keys == 0 ? "holds no private key" : "holds " + std::to_string(keys) +
                                                               " private keys; export the one to import on its own");
    }
    HeapBlock legacy;
    ImportOutcome outcome = ExportLegacy(withKey, &legacy);
    if (outcome.result == ImportResult::Ok) {
        outcome = FromLegacyBlob(legacy.get(), legacy.size(), fullBlob, bits);
    }
    if (outcome.result == ImportResult::Ok) {
        certificate->assign(withKey->pbCertEncoded, withKey->pbCertEncoded + withKey->cbCertEncoded);
    }
    CertFreeCertificateContext(withKey);
    return outcome;
}
