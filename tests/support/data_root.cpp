#include "data_root.h"

#include <dpapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace zt {

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = fd.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string child = path + "\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

TempDataRoot::TempDataRoot(size_t padTo)
{
    static std::atomic<unsigned> counter{0};
    char temp[MAX_PATH];
    const DWORD n = GetTempPathA(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) {
        return;
    }
    char name[64];
    std::snprintf(name, sizeof name, "zkroot_%lu_%u", GetCurrentProcessId(), counter++);
    base_ = std::string(temp) + name;
    if (!CreateDirectoryA(base_.c_str(), nullptr)) {
        return;
    }
    path_ = base_;
    if (padTo != 0) {
        // Nest folders of at most 100 characters until the length is exact.
        while (path_.size() < padTo) {
            const size_t remaining = padTo - path_.size();
            if (remaining < 2) {
                return;  // a separator alone cannot end it; caller sees !ok()
            }
            size_t add = remaining - 1;
            if (add > 100) {
                add = std::min<size_t>(100, remaining - 3);  // room for one more "\\x"
            }
            path_ += '\\';
            path_.append(add, 'p');
            if (!CreateDirectoryA(path_.c_str(), nullptr)) {
                return;
            }
        }
        if (path_.size() != padTo) {
            return;
        }
    }
    char saved[1024];
    const DWORD got = GetEnvironmentVariableA("LOCALAPPDATA", saved, sizeof saved);
    hadSaved_ = got != 0 && got < sizeof saved;
    if (hadSaved_) {
        saved_ = saved;
    }
    SetVariable(path_);
    ok_ = true;
}

TempDataRoot::~TempDataRoot()
{
    SetEnvironmentVariableA("LOCALAPPDATA", hadSaved_ ? saved_.c_str() : nullptr);
    if (!base_.empty()) {
        RemoveTree(base_);
    }
}

void TempDataRoot::SetVariable(const std::string& value) const
{
    SetEnvironmentVariableA("LOCALAPPDATA", value.c_str());
}

bool TempDataRoot::SecretFileExists() const
{
    return GetFileAttributesA(secretFile().c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<BYTE> TempDataRoot::ReadSecretFile() const
{
    std::vector<BYTE> bytes;
    FILE* f = std::fopen(secretFile().c_str(), "rb");
    if (f == nullptr) {
        return bytes;
    }
    BYTE buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) != 0) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(f);
    return bytes;
}

void TempDataRoot::WriteSecretFile(const std::vector<BYTE>& bytes) const
{
    CreateDirectoryA(folder().c_str(), nullptr);
    SetFileAttributesA(secretFile().c_str(), FILE_ATTRIBUTE_NORMAL);
    FILE* f = std::fopen(secretFile().c_str(), "wb");
    if (f == nullptr) {
        return;
    }
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    std::fclose(f);
}

DWORD TempDataRoot::SecretFileAttributes() const
{
    return GetFileAttributesA(secretFile().c_str());
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
