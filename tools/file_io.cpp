#include "file_io.h"

#include "report.h"
#include "unique_resource.h"

namespace zkt {
namespace {

// The folder part of a path, "." when it has none.
std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return path.size() >= 2 && path[1] == L':' ? path.substr(0, 2) : L".";
    }
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// An empty file of a fresh name in the target's folder, so that the final
// rename stays on one volume.
bool CreateTempFileBeside(const std::wstring& path, std::wstring& temp)
{
    wchar_t name[MAX_PATH + 16];
    if (GetTempFileNameW(FolderOf(path).c_str(), L"zkt", 0, name) == 0) {
        return false;
    }
    temp = name;
    return true;
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
    if (!CreateTempFileBeside(path, temp)) {
        ReportWin32Failure(what, GetLastError());
        return false;
    }
    bool ok = false;
    {
        const UniqueFile file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        ok = file && WriteAll(file.get(), data, size) && FlushFileBuffers(file.get());
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
