#include "pfx_key.h"

#include "pfx_containers.h"
#include "private_key_decode.h"
#include "unique_resource.h"

#include <wincrypt.h>
#include <ncrypt.h>

#include <string>

namespace {

// First without persisting: the key then lives only in this process. A
// platform without that (or whose key it cannot export) gets the import
// that persists, whose containers are deleted again.
constexpr DWORD kImportModes[] = {CRYPT_EXPORTABLE | PKCS12_NO_PERSIST_KEY, CRYPT_EXPORTABLE | CRYPT_USER_KEYSET};

// The imported store and the key containers it filled; the containers are
// deleted when it goes, then the store is closed.
struct ImportedPfx {
    UniqueCertStore store;
    std::vector<KeyContainer> containers;

    ImportedPfx() = default;
    ImportedPfx(const ImportedPfx&) = delete;
    ImportedPfx& operator=(const ImportedPfx&) = delete;
    ~ImportedPfx()
    {
        for (const KeyContainer& c : containers) {
            DeleteKeyContainer(c);
        }
    }
};

bool ReadPersistedContainer(PCCERT_CONTEXT certificate, KeyContainer* container)
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

// A key the import kept in memory (the certificate holds its handle).
bool ReadKeyContext(PCCERT_CONTEXT certificate, CERT_KEY_CONTEXT* context)
{
    DWORD size = sizeof *context;
    return CertGetCertificateContextProperty(certificate, CERT_KEY_CONTEXT_PROP_ID, context, &size) &&
           size >= sizeof *context;
}

bool HoldsKey(PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    CERT_KEY_CONTEXT context;
    return ReadKeyContext(certificate, &context) ||
           CertGetCertificateContextProperty(certificate, CERT_NCRYPT_KEY_HANDLE_PROP_ID, nullptr, &size) ||
           CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
}

std::wstring ProviderText(HCRYPTPROV provider, DWORD param)
{
    char text[512];
    DWORD size = sizeof text;
    if (!CryptGetProvParam(provider, param, reinterpret_cast<BYTE*>(text), &size, 0) || size == 0) {
        return {};
    }
    text[sizeof text - 1] = '\0';
    const int units = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<size_t>(units) : 0, L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), units);
        wide.pop_back();
    }
    return wide;
}

// A CryptoAPI key kept "in memory" may still sit in a persisted container
// (Wine puts it into the user's default one): if its container opens by
// name, it is one to delete.
bool PersistedContainerOf(HCRYPTPROV provider, KeyContainer* container)
{
    container->name = ProviderText(provider, PP_CONTAINER);
    container->provider = ProviderText(provider, PP_NAME);
    DWORD type = 0;
    DWORD size = sizeof type;
    if (container->name.empty() || container->provider.empty() ||
        !CryptGetProvParam(provider, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0)) {
        return false;
    }
    container->providerType = type;
    HCRYPTPROV opened = 0;
    if (!CryptAcquireContextW(&opened, container->name.c_str(), container->provider.c_str(), type, CRYPT_SILENT)) {
        return false;
    }
    CryptReleaseContext(opened, 0);
    return true;
}

// An ephemeral CNG key may refuse a plaintext export until its policy
// allows one; it is ours alone, so it may.
bool ExportNcrypt(NCRYPT_KEY_HANDLE key, HeapBlock* legacy)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD size = 0;
        if (NCryptExportKey(key, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, nullptr, 0, &size, 0) == 0) {
            HeapBlock out(size);
            if (out && NCryptExportKey(key, 0, LEGACY_RSAPRIVATE_BLOB, nullptr, out.get(), size, &size, 0) == 0) {
                legacy->Adopt(out.Release(), size);
                return true;
            }
        }
        DWORD policy = NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG;
        if (attempt == 0 && NCryptSetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<BYTE*>(&policy),
                                              sizeof policy, 0) != 0) {
            return false;
        }
    }
    return false;
}

bool ExportCryptoApi(HCRYPTPROV provider, HeapBlock* legacy)
{
    // Which of the container's two keys holds it depends on how the PFX
    // was made; try both.
    for (DWORD keySpec : {static_cast<DWORD>(AT_KEYEXCHANGE), static_cast<DWORD>(AT_SIGNATURE)}) {
        UniqueCryptKey key;
        if (!CryptGetUserKey(provider, keySpec, key.Put())) {
            key.Forget();
            continue;
        }
        DWORD size = 0;
        if (CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &size)) {
            HeapBlock out(size);
            if (out && CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, out.get(), &size)) {
                legacy->Adopt(out.Release(), size);
                return true;
            }
        }
    }
    return false;
}

// The certificate's key as the legacy private blob. The key is found through
// the platform (CryptAcquireCertificatePrivateKey), or, where that does not
// read a key kept in memory (Wine), through the certificate's key context.
// Every container found is in the journal before the key is touched.
ImportOutcome ExportLegacy(PCCERT_CONTEXT certificate, ContainerJournal* journal, std::vector<KeyContainer>* containers,
                           HeapBlock* legacy)
{
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle = 0;
    DWORD keyKind = 0;
    BOOL mustFree = FALSE;
    CERT_KEY_CONTEXT context;
    if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &handle, &keyKind, &mustFree)) {
        if (!ReadKeyContext(certificate, &context)) {
            return Refuse(ImportResult::Failed, "its key could not be opened after the import");
        }
        handle = context.hCryptProv;
        keyKind = context.dwKeySpec;
        mustFree = FALSE;  // the certificate's
    }
    bool exported = false;
    if (keyKind == CERT_NCRYPT_KEY_SPEC) {
        // Released only when the call says the handle is ours.
        const UniqueNcryptObject owned(mustFree ? handle : 0);
        exported = ExportNcrypt(handle, legacy);
    } else {
        const UniqueCryptProvider owned(mustFree ? handle : 0);
        KeyContainer persisted;
        if (PersistedContainerOf(handle, &persisted)) {
            containers->push_back(persisted);
            RecordContainers(journal, *containers);
        }
        exported = ExportCryptoApi(handle, legacy);
    }
    return exported ? ImportOutcome{} : Refuse(ImportResult::Failed, "its key could not be exported after the import");
}

// One import in one mode; `importError` is why the file did not open (0: it did).
ImportOutcome DecodeIn(DWORD mode, const HeapBlock& pfx, const wchar_t* password, ContainerJournal* journal,
                       DWORD* importError, HeapBlock* fullBlob, ULONG* bits, std::vector<BYTE>* certificate)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.get()};
    ImportedPfx imported;
    imported.store.Reset(PFXImportCertStore(&blob, password, mode));
    *importError = imported.store ? 0 : GetLastError();
    if (!imported.store) {
        return Refuse(ImportResult::PasswordWrong, "did not open with that password (or the PFX is damaged)");
    }
    UniqueCertContext withKey;
    size_t keys = 0;
    // The enumeration frees each context as it hands out the next.
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(imported.store.get(), c)) != nullptr) {
        KeyContainer container;
        if (ReadPersistedContainer(c, &container)) {
            imported.containers.push_back(container);
        }
        if (HoldsKey(c)) {
            ++keys;
            if (!withKey) {
                withKey.Reset(CertDuplicateCertificateContext(c));
            }
        }
    }
    RecordContainers(journal, imported.containers);
    if (keys != 1) {
        return Refuse(ImportResult::InputRefused,
                      keys == 0 ? "holds no private key" : "holds " + std::to_string(keys) +
                                                               " private keys; export the one to import on its own");
    }
    HeapBlock legacy;
    ImportOutcome outcome = ExportLegacy(withKey.get(), journal, &imported.containers, &legacy);
    if (outcome.result == ImportResult::Ok) {
        outcome = FromLegacyBlob(legacy.get(), legacy.size(), fullBlob, bits);
    }
    if (outcome.result == ImportResult::Ok) {
        certificate->assign(withKey.get()->pbCertEncoded, withKey.get()->pbCertEncoded + withKey.get()->cbCertEncoded);
    }
    return outcome;
}

}  // namespace

ImportOutcome DecodePfx(const HeapBlock& pfx, const wchar_t* password, HeapBlock* fullBlob, ULONG* bits,
                        std::vector<BYTE>* certificate)
{
    ContainerJournal journal;  // goes last: every container is deleted by then
    OpenContainerJournal(&journal);
    ImportOutcome outcome;
    bool opened = false;
    for (DWORD mode : kImportModes) {
        DWORD importError = 0;
        ImportOutcome attempt = DecodeIn(mode, pfx, password, &journal, &importError, fullBlob, bits, certificate);
        if (importError == 0) {
            // What the file holds decides, unless only getting at the key failed.
            opened = true;
            outcome = attempt;
            if (attempt.result != ImportResult::Failed) {
                break;
            }
        } else {
            if (!opened) {
                outcome = attempt;
            }
            if (importError == ERROR_INVALID_PASSWORD) {
                break;
            }
        }
    }
    return outcome;
}
