#include "data_root.h"

#include <dpapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>

namespace zt {

TempDataRoot::TempDataRoot(size_t padTo, const std::wstring& leaf)
{
    if (!base_.ok()) {
        return;
    }
    path_ = base_.path();
    if (padTo != 0) {
        // Nest folders of at most 100 units until only the leaf is missing.
        const size_t target = leaf.empty() ? padTo : padTo - std::min(padTo, leaf.size() + 1);
        while (path_.size() < target) {
            const size_t remaining = target - path_.size();
            if (remaining < 2) {
                return;  // a separator alone cannot end it; caller sees !ok()
            }
            size_t add = remaining - 1;
            if (add > 100) {
                add = std::min<size_t>(100, remaining - 3);  // room for one more "\\x"
            }
            path_ += L"\\" + std::wstring(add, L'p');
            if (!CreateDirectoryW(path_.c_str(), nullptr)) {
                return;
            }
        }
    }
    if (!leaf.empty()) {
        path_ += L"\\" + leaf;
        if (!CreateDirectoryW(path_.c_str(), nullptr)) {
            return;
        }
    }
    if (padTo != 0 && path_.size() != padTo) {
        return;
    }
    wchar_t saved[1024];
    const DWORD got = GetEnvironmentVariableW(L"LOCALAPPDATA", saved, 1024);
    hadSaved_ = got != 0 && got < 1024;
    if (hadSaved_) {
        saved_ = saved;
    }
    narrow_ = ToAnsi(path_);
    SetVariable(path_);
    ok_ = true;
}

TempDataRoot::~TempDataRoot()
{
    // Restored first; base_ then goes with everything in it.
    SetEnvironmentVariableW(L"LOCALAPPDATA", hadSaved_ ? saved_.c_str() : nullptr);
}

void TempDataRoot::SetVariable(const std::string& value) const
{
    SetEnvironmentVariableA("LOCALAPPDATA", value.c_str());
}

void TempDataRoot::SetVariable(const std::wstring& value) const
{
    SetEnvironmentVariableW(L"LOCALAPPDATA", value.c_str());
}

bool TempDataRoot::SecretFileExists() const
{
    return GetFileAttributesW(wideSecretFile().c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<BYTE> TempDataRoot::ReadSecretFile() const
{
    return ReadFileBytes(wideSecretFile());
}

void TempDataRoot::WriteSecretFile(const std::vector<BYTE>& bytes) const
{
    CreateDirectoryW(wideFolder().c_str(), nullptr);
    WriteFileBytes(wideSecretFile(), bytes);
}

DWORD TempDataRoot::SecretFileAttributes() const
{
    return GetFileAttributesW(wideSecretFile().c_str());
}

std::vector<BYTE> Unprotect(const std::vector<BYTE>& blob, bool* ok)
{
    DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
    DATA_BLOB out{0, nullptr};
    *ok = CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out) != FALSE;
    std::vector<BYTE> plain;
    if (*ok) {
        plain.assign(out.pbData, out.pbData + out.cbData);
        SecureZeroMemory(out.pbData, out.cbData);
        LocalFree(out.pbData);
    }
    return plain;
}

std::vector<BYTE> Protect(const std::vector<BYTE>& plain)
{
    DATA_BLOB in{static_cast<DWORD>(plain.size()), const_cast<BYTE*>(plain.data())};
    DATA_BLOB out{0, nullptr};
    std::vector<BYTE> blob;
    if (CryptProtectData(&in, L"test", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        blob.assign(out.pbData, out.pbData + out.cbData);
        LocalFree(out.pbData);
    }
    return blob;
}

}  // namespace zt
