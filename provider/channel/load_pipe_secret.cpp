#include "pipe_secret.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "private_folder.h"
#include "protocol.h"

#include <bcrypt.h>
#include <dpapi.h>
#include <wincrypt.h>

#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD kPathUnits = 260;  // 259 UTF-16 units and the terminator
// A creator holds the files only while it writes, flushes and moves 32..~250
// bytes; those waiting for it re-read this often, this many times.
constexpr int kAttempts = 200;
constexpr DWORD kRetryDelayMs = 10;

// dst = a + b, or false if that would not fit with its terminator.
bool JoinPath(wchar_t* dst, const wchar_t* a, const wchar_t* b)
{
    const size_t na = std::wcslen(a);
    const size_t nb = std::wcslen(b);
    if (na + nb + 1 > kPathUnits) {
        return false;
    }
    std::wmemcpy(dst, a, na);
    std::wmemcpy(dst + na, b, nb + 1);
    return true;
}

struct SecretPaths {
    wchar_t folder[kPathUnits];
    wchar_t file[kPathUnits];
    // A new secret is written here first. Shorter than the file's name, so
    // the data root's length limit stays the file's.
    wchar_t temp[kPathUnits];
};

// Create: there is no file. ReplaceEmpty: there is an empty one. Retry: a
// writer holds the file right now. NameFree, InPlace: the steps of creation.
enum class Step { Done, Create, ReplaceEmpty, Retry, NameFree, InPlace };

// Reads and checks an existing file.
Step ReadSecret(const SecretPaths& paths, HeapBlock* secret, SECURITY_STATUS* status)
{
    const UniqueFile file(CreateFileW(paths.file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            return Step::Retry;
        }
        if (error == ERROR_FILE_NOT_FOUND) {
            return Step::Create;
        }
        // A folder of that name, no access, ...: waiting will not change it.
        *status = NTE_INTERNAL_ERROR;
        return Step::Done;
    }
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE) {
        *status = NTE_INTERNAL_ERROR;
        return Step::Done;
    }
    if (size == 0) {
        return Step::ReplaceEmpty;
    }
    HeapBlock content(size);
    if (!content) {
        *status = NTE_NO_MEMORY;
        return Step::Done;
    }
    DWORD read = 0;
    if (!ReadFile(file.get(), content.get(), size, &read, nullptr) || read != size) {
        *status = NTE_INTERNAL_ERROR;
        return Step::Done;
    }
    DATA_BLOB in{size, content.get()};
    DATA_BLOB out{0, nullptr};
    UniqueLocalBlock unprotected;  // DPAPI's block: wiped whole, then LocalFree
    const BYTE* candidate = content.get();
    size_t candidateLength = size;
    if (CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        content.Reset();
        unprotected.Reset(SizedBlock{out.pbData, out.cbData});
        candidate = unprotected.get().data;
        candidateLength = unprotected.get().size;
    }
    // Anything but 32 bytes is someone's file we must not overwrite.
    if (candidateLength != kPipeSecretLength) {
        *status = NTE_INTERNAL_ERROR;
        return Step::Done;
    }
    HeapBlock block(kPipeSecretLength);
    if (!block) {
        *status = NTE_NO_MEMORY;
        return Step::Done;
    }
    std::memcpy(block.get(), candidate, kPipeSecretLength);
    *secret = static_cast<HeapBlock&&>(block);
    *status = ZK_SUCCESS;
    return Step::Done;
}

// An empty file can only be one that an older version was writing in place
// when it died. It is moved onto the temporary name while held (no one can
// fill it meanwhile), which frees the name for the move that never replaces.
Step MoveEmptyFileAside(const SecretPaths& paths)
{
    const UniqueFile empty(CreateFileW(paths.file, GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!empty) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return Step::NameFree;  // someone else moved it
        }
        return error == ERROR_SHARING_VIOLATION ? Step::Retry : Step::Done;
    }
    const DWORD size = GetFileSize(empty.get(), nullptr);
    if (size == INVALID_FILE_SIZE) {
        return Step::Done;
    }
    if (size != 0) {
        return Step::Retry;  // written since we looked: read it
    }
    // Fails while another creator holds the temporary file; it is ahead of us.
    if (!MoveFileExW(paths.file, paths.temp, MOVEFILE_REPLACE_EXISTING)) {
        return Step::Retry;
    }
    // Gone once we let go, so the new file is made afresh (hidden).
    DeleteFileW(paths.temp);
    return Step::NameFree;
}

// The new secret goes to the temporary file, is flushed, and is moved into
// place only if no file is there: a crash leaves at most a temporary file,
// never a torn secret file, and a usable secret is never replaced. The
// temporary file is held without sharing (but for the move) while it is
// written, so creators take turns; one left by a crash is simply rewritten.
Step WriteNewFile(const SecretPaths& paths, const BYTE* bytes, DWORD length)
{
    const UniqueFile temp(CreateFileW(paths.temp, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!temp) {
        const DWORD error = GetLastError();
        // Another creator holds it, or is removing it.
        return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ? Step::Retry : Step::Done;
    }
    // A creator that held it before us moved its file in before letting go.
    if (GetFileAttributesW(paths.file) != INVALID_FILE_ATTRIBUTES) {
        DeleteFileW(paths.temp);
        return Step::Retry;
    }
    DWORD written = 0;
    if (!WriteFile(temp.get(), bytes, length, &written, nullptr) || written != length ||
        !FlushFileBuffers(temp.get())) {
        DeleteFileW(paths.temp);
        return Step::Done;
    }
    if (!MoveFileExW(paths.temp, paths.file, MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(paths.temp);  // ours: we still hold it
        // Another creator got there first; theirs is the secret.
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Step::Retry : Step::Done;
    }
    return Step::InPlace;
}

Step CreateSecret(const SecretPaths& paths, bool replaceEmpty, HeapBlock* secret, SECURITY_STATUS* status)
{
    *status = NTE_INTERNAL_ERROR;
    HeapBlock block(kPipeSecretLength);
    if (!block) {
        *status = NTE_NO_MEMORY;
        return Step::Done;
    }
    // The store's own status (NTE_INTERNAL_ERROR), not a mapped BCrypt one.
    if (BCryptGenRandom(nullptr, block.get(), kPipeSecretLength, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return Step::Done;
    }
    DATA_BLOB plain{kPipeSecretLength, block.get()};
    DATA_BLOB out{0, nullptr};
    UniqueLocalBlock protectedBlob;
    const BYTE* bytes = block.get();
    DWORD length = kPipeSecretLength;
    if (CryptProtectData(&plain, L"ZentravaPipe", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        protectedBlob.Reset(SizedBlock{out.pbData, out.cbData});
        bytes = out.pbData;
        length = out.cbData;
    }
    if (replaceEmpty) {
        const Step aside = MoveEmptyFileAside(paths);
        if (aside != Step::NameFree) {
            return aside;
        }
    }
    const Step written = WriteNewFile(paths, bytes, length);
    if (written != Step::InPlace) {
        return written;
    }
    *secret = static_cast<HeapBlock&&>(block);
    *status = ZK_SUCCESS;
    return Step::Done;
}

}  // namespace

SECURITY_STATUS LoadPipeSecret(HeapBlock* secret)
{
    if (secret == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    secret->Reset();

    wchar_t root[kPathUnits];
    const DWORD rootLength = GetEnvironmentVariableW(L"LOCALAPPDATA", root, kPathUnits);
    if (rootLength == 0 || rootLength >= kPathUnits) {
        return NTE_INTERNAL_ERROR;
    }
    SecretPaths paths;
    if (!JoinPath(paths.folder, root, L"\\Zentrava") || !JoinPath(paths.file, paths.folder, L"\\pipe.secret") ||
        !JoinPath(paths.temp, paths.folder, L"\\pipe.tmp")) {
        return NTE_INTERNAL_ERROR;
    }
    // Only the user and SYSTEM, and nothing below medium integrity, may read
    // what the folder holds.
    if (EnsurePrivateFolder(paths.folder) != ERROR_SUCCESS) {
        return NTE_INTERNAL_ERROR;
    }

    HeapBlock block;
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Step step = ReadSecret(paths, &block, &status);
        if (step == Step::Create || step == Step::ReplaceEmpty) {
            step = CreateSecret(paths, step == Step::ReplaceEmpty, &block, &status);
        }
        if (step == Step::Done) {
            break;
        }
        Sleep(kRetryDelayMs);
    }
    if (status != ZK_SUCCESS) {
        return status;
    }
    *secret = static_cast<HeapBlock&&>(block);
    return ZK_SUCCESS;
}

SECURITY_STATUS LoadPipeSecret(BYTE** secret, uint32_t* secretLength)
{
    if (secret == nullptr || secretLength == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    *secret = nullptr;
    *secretLength = 0;
    HeapBlock block;
    const SECURITY_STATUS status = LoadPipeSecret(&block);
    if (status == ZK_SUCCESS) {
        *secretLength = static_cast<uint32_t>(block.size());
        *secret = block.Release();
    }
    return status;
}
