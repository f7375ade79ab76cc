#include "temp_folder.h"

#include <atomic>
#include <cstdio>

namespace zt {

TempFolder::TempFolder(const wchar_t* prefix)
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) {
        return;
    }
    std::wstring base = temp;
    if (!base.empty() && base.back() == L'\\') {
        base.pop_back();
    }
    // Wine reuses process ids from one run to the next, so a folder a killed
    // run left behind can hold the name: take the next one.
    for (int attempt = 0; attempt < 1000 && !ok_; ++attempt) {
        wchar_t name[64];
        std::swprintf(name, 64, L"\\%ls%lu_%u", prefix, GetCurrentProcessId(), counter++);
        path_ = base + name;
        ok_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE;
        if (!ok_ && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
}

TempFolder::~TempFolder()
{
    if (ok_) {
        RemoveTree(path_);
    }
}

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

void RemoveTree(const std::string& path)
{
    const int n = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), n);
    }
    RemoveTree(wide);
}

std::vector<BYTE> ReadFileBytes(const std::wstring& path, bool* exists)
{
    std::vector<BYTE> bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (exists != nullptr) {
        *exists = f != nullptr;
    }
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

bool WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    // A hidden or read-only file (the secret store makes hidden ones) is
    // replaced too.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes)
{
    bool exists = false;
    const std::vector<BYTE> read = ReadFileBytes(path, &exists);
    bytes.assign(read.begin(), read.end());
    return exists;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    return WriteFileBytes(path, std::vector<BYTE>(bytes.begin(), bytes.end()));
}

std::wstring FromAnsi(const std::string& s)
{
    if (s.empty()) {
        return {};
    }
    const int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    }
    return out;
}

std::string ToAnsi(const std::wstring& s)
{
    if (s.empty()) {
        return {};
    }
    const int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    }
    return out;
}

}  // namespace zt
