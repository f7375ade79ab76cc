#include "signing_service.h"

#include "provider_loader.h"

#include <bcrypt.h>
#include <dpapi.h>
#include <wincrypt.h>

#include <cstring>

namespace zt {
namespace {

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

std::vector<BYTE> ReadWholeFile(const std::wstring& path)
{
    std::vector<BYTE> out;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
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

SigningService::SigningService() : exe_(BesideExe(L"ZentravaSigningService.exe"))
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"zk-e2e-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64());
    CreateDirectoryW(root_.c_str(), nullptr);
    SetEnvironmentVariableW(L"LOCALAPPDATA", root_.c_str());
}

SigningService::~SigningService()
{
    Stop();
    RemoveTree(root_);
}

bool SigningService::Launch(const std::wstring& arguments, PROCESS_INFORMATION* pi)
{
    std::wstring command = L"\"" + exe_ + L"\" " + arguments + L" --data-root \"" + root_ + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    return CreateProcessW(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi) != 0;
}

DWORD SigningService::Run(const std::wstring& arguments, DWORD timeoutMs)
{
    PROCESS_INFORMATION pi{};
    if (!Launch(arguments, &pi)) {
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFE;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(pi.hProcess, &code);
    } else {
        TerminateProcess(pi.hProcess, 1);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

bool SigningService::CreateKey(const std::wstring& name, ULONG bits)
{
    return Run(L"create " + name + L" --bits " + std::to_wstring(bits)) == 0;
}

bool SigningService::Start()
{
    if (!Launch(L"serve", &serve_)) {
        serve_ = {};
        return false;
    }
    // The service loads (or makes) the pipe secret before it serves.
    const std::wstring secret = root_ + L"\\Zentrava\\pipe.secret";
    for (int i = 0; i < 150; ++i) {
        if (GetFileAttributesW(secret.c_str()) != INVALID_FILE_ATTRIBUTES &&
            WaitNamedPipeW(L"\\\\.\\pipe\\ZentravaPipe", 100)) {
            return true;
        }
        if (WaitForSingleObject(serve_.hProcess, 100) == WAIT_OBJECT_0) {
            return false;
        }
    }
    return false;
}

void SigningService::Stop()
{
    if (serve_.hProcess == nullptr) {
        return;
    }
    Run(L"stop", 10000);
    if (WaitForSingleObject(serve_.hProcess, 5000) != WAIT_OBJECT_0) {
        TerminateProcess(serve_.hProcess, 1);
        WaitForSingleObject(serve_.hProcess, 5000);
    }
    CloseHandle(serve_.hThread);
    CloseHandle(serve_.hProcess);
    serve_ = {};
}

std::vector<BYTE> SigningService::PublicBlobOf(const std::wstring& name) const
{
    const std::wstring dir = root_ + L"\\Zentrava\\keys";
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::vector<BYTE> result;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            continue;
        }
        // "ZKEY", version, L, name, B, protected blob.
        std::vector<BYTE> file = ReadWholeFile(dir + L"\\" + found.cFileName);
        if (file.size() < 16 || std::memcmp(file.data(), "ZKEY", 4) != 0) {
            continue;
        }
        const uint32_t nameBytes = U32(&file[8]);
        if (12ull + nameBytes + 4 > file.size()) {
            continue;
        }
        std::wstring fileKeyName(reinterpret_cast<const wchar_t*>(&file[12]), nameBytes / 2);
        const uint32_t blobBytes = U32(&file[12 + nameBytes]);
        if (fileKeyName != name || 16ull + nameBytes + blobBytes != file.size()) {
            continue;
        }
        DATA_BLOB in{blobBytes, &file[16 + nameBytes]};
        DATA_BLOB plain{};
        if (CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &plain)) {
            result = PublicFromPrivateBlob(plain.pbData, plain.cbData);
            SecureZeroMemory(plain.pbData, plain.cbData);
            LocalFree(plain.pbData);
        }
        break;
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return result;
}

}  // namespace zt
