#include "wine_stand_ins.h"

#include <cstring>

namespace zt {
namespace {

const BCRYPT_KEY_LENGTHS_STRUCT kWindowsRsaLengths{512, 16384, 64};
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023L);

struct StandInState {
    WineGap gap = WineGap::KeyLengths;
    decltype(&BCryptGetProperty) getProperty = nullptr;
    decltype(&BCryptExportKey) exportKey = nullptr;
    BCRYPT_HANDLE lastHandle = nullptr;
    std::wstring lastBlobType;
    int answered = 0;
};
StandInState g;

NTSTATUS WINAPI GetPropertyAsOnWindows(BCRYPT_HANDLE h, LPCWSTR property, PUCHAR out, ULONG size, ULONG* result,
                                       ULONG flags)
{
    if (g.gap == WineGap::KeyLengths && std::wcscmp(property, BCRYPT_KEY_LENGTHS) == 0) {
        g.lastHandle = h;
        ++g.answered;
        *result = sizeof kWindowsRsaLengths;
        if (size < sizeof kWindowsRsaLengths) {
            return kBufferTooSmall;
        }
        std::memcpy(out, &kWindowsRsaLengths, sizeof kWindowsRsaLengths);
        return 0;
    }
    if (g.gap == WineGap::SignatureLength && std::wcscmp(property, BCRYPT_SIGNATURE_LENGTH) == 0) {
        g.lastHandle = h;
        ++g.answered;
        // Windows answers the modulus length; read it from the key's own blob.
        BYTE blob[2048];
        ULONG blobSize = 0;
        const NTSTATUS st = BCryptExportKey(h, nullptr, BCRYPT_RSAPUBLIC_BLOB, blob, sizeof blob, &blobSize, 0);
        if (st != 0) {
            return st;
        }
        const auto* header = reinterpret_cast<const BCRYPT_RSAKEY_BLOB*>(blob);
        *result = sizeof(DWORD);
        if (size < sizeof(DWORD)) {
            return kBufferTooSmall;
        }
        const DWORD length = header->cbModulus;
        std::memcpy(out, &length, sizeof length);
        return 0;
    }
    return g.getProperty(h, property, out, size, result, flags);
}

NTSTATUS WINAPI ExportAsOnWindows(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE exportKey, LPCWSTR type, PUCHAR out,
                                  ULONG size, ULONG* result, ULONG flags)
{
    g.lastBlobType = type;
    if (std::wcscmp(type, BCRYPT_PUBLIC_KEY_BLOB) == 0) {
        g.lastHandle = key;
        ++g.answered;
        type = BCRYPT_RSAPUBLIC_BLOB;
    }
    return g.exportKey(key, exportKey, type, out, size, result, flags);
}

}  // namespace

WindowsBCryptStandIn::WindowsBCryptStandIn(HMODULE provider, WineGap gap)
{
    g = StandInState{};
    g.gap = gap;
    if (gap == WineGap::PublicBlobExport) {
        patch_ = std::make_unique<ImportPatch>(provider, "bcrypt.dll", "BCryptExportKey",
                                               Replacement(&BCryptExportKey, &ExportAsOnWindows));
        g.exportKey = patch_->original_as<decltype(&BCryptExportKey)>();
    } else {
        patch_ = std::make_unique<ImportPatch>(provider, "bcrypt.dll", "BCryptGetProperty",
                                               Replacement(&BCryptGetProperty, &GetPropertyAsOnWindows));
        g.getProperty = patch_->original_as<decltype(&BCryptGetProperty)>();
    }
}

WindowsBCryptStandIn::~WindowsBCryptStandIn() = default;

BCRYPT_HANDLE WindowsBCryptStandIn::LastHandle() { return g.lastHandle; }
std::wstring WindowsBCryptStandIn::LastBlobType() { return g.lastBlobType; }
int WindowsBCryptStandIn::Answered() { return g.answered; }

}  // namespace zt
