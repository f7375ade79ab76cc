#include "robust_support.h"

#include "ksp_status.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>

namespace zt {

SECURITY_STATUS ExpectedMapping(LONG ntstatus)
{
    if (ntstatus >= 0) {
        return 0;
    }
    switch (static_cast<ULONG>(ntstatus)) {
    case 0xC0000008UL: return NTE_INVALID_HANDLE;
    case 0xC000000DUL: return NTE_INVALID_PARAMETER;
    case 0xC0000017UL: return NTE_NO_MEMORY;
    case 0xC000009AUL: return NTE_NO_MEMORY;
    case 0xC0000023UL: return NTE_BUFFER_TOO_SMALL;
    case 0xC00000BBUL: return NTE_NOT_SUPPORTED;
    case 0xC000A000UL: return NTE_BAD_SIGNATURE;
    default: return NTE_INTERNAL_ERROR;
    }
}

LONG InjectedStatus(uint64_t n)
{
    static const ULONG kStatuses[] = {0xC0000001UL, 0xC0000017UL, 0xC000000DUL, 0xC000009AUL,
                                      0xC00000BBUL, 0xC0000008UL, 0xC000A000UL};
    return static_cast<LONG>(kStatuses[n % (sizeof kStatuses / sizeof kStatuses[0])]);
}

DWORD PlausibleLastError(Fn fn, uint64_t n)
{
    switch (fn) {
    case Fn::CreateFileA:
    case Fn::CreateFileW: return n % 2 == 0 ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED;
    case Fn::ReadFile:
    case Fn::WriteFile:
    case Fn::GetOverlappedResult: return n % 2 == 0 ? ERROR_BROKEN_PIPE : ERROR_NO_DATA;
    case Fn::GetFileSize: return ERROR_ACCESS_DENIED;
    case Fn::CreateDirectoryW: return n % 2 == 0 ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
    case Fn::MoveFileExW: return n % 2 == 0 ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED;
    case Fn::FlushFileBuffers:
    case Fn::DeleteFileW: return n % 2 == 0 ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
    case Fn::GetNamedPipeServerProcessId:
    case Fn::OpenProcess:
    case Fn::OpenProcessToken:
    case Fn::OpenThreadToken:
    case Fn::GetTokenInformation: return ERROR_ACCESS_DENIED;
    case Fn::CreateEventW: return ERROR_NOT_ENOUGH_MEMORY;
    case Fn::WaitForSingleObject: return ERROR_INVALID_HANDLE;
    case Fn::CryptProtectData:
    case Fn::CryptUnprotectData: return n % 2 == 0 ? ERROR_INVALID_DATA : NTE_BAD_KEY_STATE;
    default: return ERROR_INVALID_PARAMETER;
    }
}

bool IsReleaseCall(Fn fn)
{
    return fn == Fn::HeapFree || fn == Fn::LocalFree || fn == Fn::CloseHandle || fn == Fn::BCryptDestroyKey ||
           fn == Fn::BCryptDestroyHash || fn == Fn::BCryptCloseAlgorithmProvider || fn == Fn::CancelIo;
}

bool IsBCryptCall(Fn fn)
{
    return std::string(FnName(fn)).rfind("BCrypt", 0) == 0;
}

GuardedBuffer::GuardedBuffer(size_t size, size_t guard) : size_(size), guard_(guard), bytes_(size + 2 * guard)
{
    Refill();
}

void GuardedBuffer::Refill()
{
    std::fill(bytes_.begin(), bytes_.end(), kGuardPattern);
}

bool GuardedBuffer::GuardsIntact() const
{
    for (size_t i = 0; i < guard_; ++i) {
        if (bytes_[i] != kGuardPattern || bytes_[guard_ + size_ + i] != kGuardPattern) {
            return false;
        }
    }
    return true;
}

bool GuardedBuffer::Untouched() const
{
    return std::all_of(bytes_.begin(), bytes_.end(), [](BYTE b) { return b == kGuardPattern; });
}

std::vector<BYTE> GuardedBuffer::Contents(size_t n) const
{
    n = std::min(n, size_);
    return std::vector<BYTE>(bytes_.begin() + static_cast<ptrdiff_t>(guard_),
                             bytes_.begin() + static_cast<ptrdiff_t>(guard_ + n));
}

std::string HygieneProblems(const Interposer& spy, size_t allowedLiveBlocks)
{
    std::string out;
    char line[200];
    if (spy.LiveBlocks() != allowedLiveBlocks) {
        std::snprintf(line, sizeof line, "%zu blocks still allocated (expected %zu); ", spy.LiveBlocks(),
                      allowedLiveBlocks);
        out += line;
    }
    const std::vector<FreedBlock> unwiped = spy.UnwipedFrees();
    if (!unwiped.empty()) {
        out += "unwiped frees: " + DescribeUnwiped(unwiped);
    }
    static const char* const kKinds[] = {"event", "file/pipe", "algorithm", "key", "hash", "process", "token"};
    for (int k = 0; k < 7; ++k) {
        const size_t open = spy.OpenHandles(static_cast<HandleKind>(k));
        if (open != 0) {
            std::snprintf(line, sizeof line, "%zu %s handles open; ", open, kKinds[k]);
            out += line;
        }
    }
    return out;
}

std::vector<BYTE> ReadWholeFile(const std::string& path, bool* exists)
{
    *exists = false;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return {};
    }
    *exists = true;
    std::vector<BYTE> bytes(GetFileSize(h, nullptr));
    DWORD got = 0;
    if (!bytes.empty() && ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
        bytes.resize(got);
    }
    CloseHandle(h);
    return bytes;
}

std::vector<BYTE> Sha256(const std::string& data)
{
    std::vector<BYTE> digest(32);
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
        return {};
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                       static_cast<ULONG>(data.size()), 0);
        BCryptFinishHash(hash, digest.data(), 32, 0);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
    return digest;
}

}  // namespace zt
