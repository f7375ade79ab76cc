#include "file_io.h"

#include "report.h"
#include "unique_resource.h"

#include <bcrypt.h>

namespace zkt {
namespace {

// What comes before the file name in a path: "dir\", "C:", or nothing.
std::wstring FolderPrefixOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) {
        return path.substr(0, slash + 1);
    }
    return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : L"";
}

// A fresh temporary file beside the target, so that the final rename stays
// on one volume: "zkt<16 random hex digits>.tmp", created exclusively.
// CREATE_NEW never opens what is already at the name (a file, or a link
// someone planted), so the plaintext goes only into a file made here; the
// random name only keeps a planted name from making every attempt fail.
bool CreateTempFileBeside(const std::wstring& path, std::wstring& temp, UniqueFile& file)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    for (int attempt = 0; attempt < 8; ++attempt) {
        BYTE random[8];
        if (BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return false;
        }
        std::wstring name = L"zkt";
        for (BYTE b : random) {
            name += kDigits[b >> 4];
            name += kDigits[b & 0xF];
        }
        temp = FolderPrefixOf(path) + name + L".tmp";
        file.Reset(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

bool WriteAll(HANDLE file, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(size - done > 0x10000000 ? 0x10000000 : size - done);
        if (!WriteFile(file, bytes + done, chunk, &put, nullptr) || put == 0) {
            return false;
        }
        done += put;
    }
    return true;
}

// Inputs are hashes' sources, ciphertexts and signatures: far below this.
constexpr LONGLONG kMaxInput = 256LL * 1024 * 1024;

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data)
{
    const std::string what = "reading " + ToUtf8(path);
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        ReportWin32Failure(what, GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        ReportWin32Failure(what, GetLastError());
        return false;
    }
    if (size.QuadPart > kMaxInput) {
        ReportProblem(what + ": file larger than 256 MiB");
        return false;
    }
    data.assign(static_cast<size_t>(size.QuadPart), 0);
    size_t done = 0;
    while (done < data.size()) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(data.size() - done);
        if (!ReadFile(file.get(), data.data() + done, want, &got, nullptr)) {
            ReportWin32Failure(what, GetLastError());
            return false;
        }
        if (got == 0) {
            break;  // file shrank meanwhile
        }
        done += got;
    }
    data.resize(done);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t size)
{
    const std::string what = "writing " + ToUtf8(path);
    // Written beside the target and renamed over it: a write that fails
    // part way leaves whatever the file held before.
    std::wstring temp;
    bool ok = false;
    {
        UniqueFile file;
        if (!CreateTempFileBeside(path, temp, file)) {
            ReportWin32Failure(what, GetLastError());
            return false;
        }
        ok = WriteAll(file.get(), data, size) && FlushFileBuffers(file.get());
        const DWORD error = GetLastError();
        file.Reset();  // closed before the rename or the removal
        SetLastError(error);
    }
    if (ok) {
        ok = MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
    if (!ok) {
        const DWORD error = GetLastError();
        DeleteFileW(temp.c_str());
        ReportWin32Failure(what, error);
    }
    return ok;
}

}  // namespace zkt
