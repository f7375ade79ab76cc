#include "file_io.h"

#include "report.h"

namespace zkt {
namespace {

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : handle_(h) {}
    ~FileHandle()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

// Inputs are hashes' sources, ciphertexts and signatures: far below this.
constexpr LONGLONG kMaxInput = 256LL * 1024 * 1024;

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& data)
{
    const std::string what = "reading " + ToUtf8(path);
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
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
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        ReportWin32Failure(what, GetLastError());
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        DWORD put = 0;
        const DWORD chunk = static_cast<DWORD>(size - done > 0x10000000 ? 0x10000000 : size - done);
        if (!WriteFile(file.get(), bytes + done, chunk, &put, nullptr) || put == 0) {
            ReportWin32Failure(what, GetLastError());
            return false;
        }
        done += put;
    }
    return true;
}

}  // namespace zkt
