#include "signing_service.h"

#include <bcrypt.h>

#include <cstring>

namespace zt {
namespace {

std::vector<BYTE> ReadWholeFile(const std::string& path)
{
    std::vector<BYTE> out;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return out;
    }
    const DWORD size = GetFileSize(f, nullptr);
    out.resize(size);
    DWORD got = 0;
    if (!ReadFile(f, out.data(), size, &got, nullptr) || got != size) {
        out.clear();
    }
    CloseHandle(f);
    return out;
}

uint32_t U32(const BYTE* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::vector<BYTE> PublicFromPrivateBlob(const BYTE* blob, DWORD length)
{
    std::vector<BYTE> out;
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_RSA_ALGORITHM, nullptr, 0) != 0) {
        return out;
    }
    // The service stores full private blobs; take the type from the magic.
    const wchar_t* type = length >= 4 && U32(blob) == BCRYPT_RSAFULLPRIVATE_MAGIC ? BCRYPT_RSAFULLPRIVATE_BLOB
                                                                                   : BCRYPT_RSAPRIVATE_BLOB;
    if (BCryptImportKeyPair(alg, nullptr, type, &key, const_cast<BYTE*>(blob), length, 0) == 0) {
        ULONG size = 0;
        BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, nullptr, 0, &size, 0);
        out.resize(size);
        if (BCryptExportKey(key, nullptr, BCRYPT_RSAPUBLIC_BLOB, out.data(), size, &size, 0) != 0) {
            out.clear();
        }
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return out;
}

}  // namespace

bool SigningService::CreateKey(const std::wstring& name, ULONG bits)
{
    return RunService(L"create " + name + L" --bits " + std::to_wstring(bits), root_.path()).exitCode == 0;
}

std::vector<BYTE> SigningService::PublicBlobOf(const std::wstring& name) const
{
    const std::string dir = root_.folder() + "\\keys";
    WIN32_FIND_DATAA found{};
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::vector<BYTE> result;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        // "ZKEY", version, L, name, [bits in format 2,] B, protected blob.
        std::vector<BYTE> file = ReadWholeFile(dir + "\\" + found.cFileName);
        if (file.size() < 16 || std::memcmp(file.data(), "ZKEY", 4) != 0) {
            continue;
        }
        const uint32_t version = U32(&file[4]);
        const size_t bitsField = version >= 2 ? 4 : 0;
        const uint32_t nameBytes = U32(&file[8]);
        if (12ull + nameBytes + bitsField + 4 > file.size()) {
            continue;
        }
        std::wstring fileKeyName(reinterpret_cast<const wchar_t*>(&file[12]), nameBytes / 2);
        const size_t blobAt = 12 + nameBytes + bitsField + 4;
        const uint32_t blobBytes = U32(&file[blobAt - 4]);
        if (fileKeyName != name || blobAt + blobBytes != file.size()) {
            continue;
        }
        bool ok = false;
        std::vector<BYTE> plain =
            Unprotect(std::vector<BYTE>(file.begin() + static_cast<std::ptrdiff_t>(blobAt), file.end()), &ok);
        if (ok) {
            result = PublicFromPrivateBlob(plain.data(), static_cast<DWORD>(plain.size()));
        }
        SecureZeroMemory(plain.data(), plain.size());
        break;
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return result;
}

}  // namespace zt
