#include "entry_points.h"
#include "handles.h"
#include "key_operation_flags.h"
#include "ksp_status.h"
#include "property_name.h"
#include "status_mapping.h"

namespace {

enum class BlobKind { Public, Private, Unknown };

// Public blobs are exported; the private ones the platform knows are refused
// as not supported (no private material exists here); anything else is a bad
// argument.
BlobKind ClassifyBlobType(const wchar_t* blobType)
{
    static const wchar_t* const kPublic[] = {L"PUBLICBLOB", L"RSAPUBLICBLOB"};
    static const wchar_t* const kPrivate[] = {L"PRIVATEBLOB", L"RSAPRIVATEBLOB", L"RSAFULLPRIVATEBLOB",
                                              L"PKCS7_ENVELOPE", L"PKCS8_PRIVATEKEY"};
    for (const wchar_t* candidate : kPublic) {
        if (PropertyNameEquals(blobType, candidate)) {
            return BlobKind::Public;
        }
    }
    for (const wchar_t* candidate : kPrivate) {
        if (PropertyNameEquals(blobType, candidate)) {
            return BlobKind::Private;
        }
    }
    return BlobKind::Unknown;
}

SECURITY_STATUS ExportPublicBlob(const KeyHandle* key, const wchar_t* blobType, PBYTE output, DWORD outputSize,
                                 DWORD* result)
{
    const NTSTATUS status = BCryptExportKey(key->publicKey, nullptr, blobType, output, outputSize, result, 0);
    return MapBcryptStatus(status);
}

}  // namespace

SECURITY_STATUS WINAPI ExportKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE /*hExportKey*/,
                                 LPCWSTR pszBlobType, NCryptBufferDesc* /*pParameterList*/, PBYTE pbOutput,
                                 DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags)
{
    if (AsProviderHandle(hProvider) == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    const KeyHandle* key = AsKeyHandle(hKey);
    if (key == nullptr) {
        return NTE_INVALID_HANDLE;
    }
    if (pcbResult == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    if ((dwFlags & ~kExportFlags) != 0) {
        return NTE_BAD_FLAGS;
    }
    if ((dwFlags & kExportLegacyFlag) != 0) {
        return NTE_NOT_SUPPORTED;
    }
    // A missing blob type is an unrecognised one.
    const BlobKind kind = pszBlobType == nullptr ? BlobKind::Unknown : ClassifyBlobType(pszBlobType);
    if (kind == BlobKind::Private) {
        return NTE_NOT_SUPPORTED;
    }
    if (kind == BlobKind::Unknown) {
        return NTE_INVALID_PARAMETER;
    }
    return ExportPublicBlob(key, pszBlobType, pbOutput, cbOutput, pcbResult);
}
