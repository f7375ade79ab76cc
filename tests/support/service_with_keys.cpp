#include "service_with_keys.h"

#include "unique_resource.h"
#include "wire_codec.h"

#include <bcrypt.h>

#include <cstring>

namespace zt {
namespace {

std::vector<BYTE> PublicFromPrivateBlob(const BYTE* blob, DWORD length)
{
    UniqueBcryptAlgorithm alg;
    if (BCryptOpenAlgorithmProvider(alg.Put(), BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0) {
        alg.Forget();
        return {};
    }
    // The service stores full private blobs; take the type from the magic.
    const wchar_t* type = length >= 4 && GetU32(blob) == BCRYPT_RSAFULLPRIVATE_MAGIC ? BCRYPT_RSAFULLPRIVATE_BLOB
                                                                                    : BCRYPT_RSAPRIVATE_BLOB;
    UniqueBcryptKey key;
    if (BCryptImportKeyPair(alg.get(), nullptr, type, key.Put(), const_cast<BYTE*>(blob), length, 0) != 0) {
        key.Forget();
        return {};
    }
    ULONG size = 0;
    BCryptExportKey(key.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
    std::vector<BYTE> out(size);
    if (BCryptExportKey(key.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, out.data(), size, &size, 0) != 0) {
        out.clear();
    }
    return out;
}

}  // namespace

bool ServiceWithKeys::CreateKey(const std::wstring& name, ULONG bits, std::string* error)
{
    if (!root_.ok()) {
        if (error != nullptr) {
            *error = "no data root";
        }
        return false;
    }
    const ToolResult r =
        RunService(L"create \"" + name + L"\" --bits " + std::to_wstring(bits), root_.widePath(), 120000);
    if (r.exitCode != 0) {
        if (error != nullptr) {
            *error = "create failed: " + r.output;
        }
        return false;
    }
    return true;
}

bool ServiceWithKeys::Start(const std::vector<Key>& keys, DWORD instances, std::string* error)
{
    instances_ = instances;
    for (const Key& k : keys) {
        if (!CreateKey(k.name, k.bits, error)) {
            return false;
        }
    }
    return Restart(error);
}

bool ServiceWithKeys::Restart(std::string* error)
{
    if (!root_.ok()) {
        if (error != nullptr) {
            *error = "no data root";
        }
        return false;
    }
    process_ = std::make_unique<ServiceProcess>();
    if (unreadOutput_) {
        process_->SetOutputUnread();
    }
    std::wstring extra = instances_ != 0 ? L"--instances " + std::to_wstring(instances_) : L"";
    if (!serveOptions_.empty()) {
        extra += (extra.empty() ? L"" : L" ") + serveOptions_;
    }
    if (!process_->Start(root_.widePath(), extra)) {
        if (error != nullptr) {
            *error = "serve failed: " + process_->Output();
        }
        return false;
    }
    return true;
}

bool ServiceWithKeys::Kill()
{
    return process_ && process_->Kill();
}

bool ServiceWithKeys::Stop()
{
    return process_ && process_->Stop();
}

std::vector<BYTE> ServiceWithKeys::PublicBlobOf(const std::wstring& name) const
{
    const std::wstring dir = root_.wideFolder() + L"\\keys";
    WIN32_FIND_DATAW found{};
    const UniqueFind search(FindFirstFileW((dir + L"\\*").c_str(), &found));
    if (!search) {
        return {};
    }
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        // "ZKEY", version, L, name, [bits in format 2,] B, protected blob.
        const std::vector<BYTE> file = ReadFileBytes(dir + L"\\" + found.cFileName);
        if (file.size() < 16 || std::memcmp(file.data(), "ZKEY", 4) != 0) {
            continue;
        }
        const uint32_t version = GetU32(&file[4]);
        const size_t bitsField = version >= 2 ? 4 : 0;
        const uint32_t nameBytes = GetU32(&file[8]);
        if (12ull + nameBytes + bitsField + 4 > file.size()) {
            continue;
        }
        const std::wstring fileKeyName(reinterpret_cast<const wchar_t*>(&file[12]), nameBytes / 2);
        const size_t blobAt = 12 + nameBytes + bitsField + 4;
        const uint32_t blobBytes = GetU32(&file[blobAt - 4]);
        if (fileKeyName != name || blobAt + blobBytes != file.size()) {
            continue;
        }
        bool ok = false;
        std::vector<BYTE> plain =
            Unprotect(std::vector<BYTE>(file.begin() + static_cast<std::ptrdiff_t>(blobAt), file.end()), &ok);
        std::vector<BYTE> result;
        if (ok) {
            result = PublicFromPrivateBlob(plain.data(), static_cast<DWORD>(plain.size()));
        }
        SecureZeroMemory(plain.data(), plain.size());
        return result;
    } while (FindNextFileW(search.get(), &found));
    return {};
}

}  // namespace zt
