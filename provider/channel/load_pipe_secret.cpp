#include "pipe_secret.h"

#include "heap_block.h"
#include "ksp_status.h"
#include "protocol.h"

#include <bcrypt.h>
#include <dpapi.h>
#include <wincrypt.h>

#include <cstring>

namespace {

constexpr DWORD kPathBufferSize = 260;
// A writer holds the file exclusively only while it writes 32..~250 bytes;
// those waiting for it re-read this often, this many times.
constexpr int kAttempts = 200;
constexpr DWORD kRetryDelayMs = 10;

class File {
public:
    explicit File(HANDLE h) : h_(h) {}
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    void Close()
    {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
            h_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE h_;
};

// A block that DPAPI allocated; wiped and given back with LocalFree.
class LocalBlock {
public:
    LocalBlock() = default;
    ~LocalBlock() { Reset(); }
    LocalBlock(const LocalBlock&) = delete;
    LocalBlock& operator=(const LocalBlock&) = delete;
    void Adopt(const DATA_BLOB& blob)
    {
        Reset();
        p_ = blob.pbData;
        n_ = blob.cbData;
    }
    void Reset()
    {
        if (p_ != nullptr) {
            // DPAPI's block may be larger than the data it reports, and the
            // tail is not guaranteed to be clean; wipe all of it.
            const SIZE_T full = LocalSize(p_);
            WipeBytes(p_, full > n_ ? full : n_);
            LocalFree(p_);
            p_ = nullptr;
            n_ = 0;
        }
    }
    BYTE* get() const { return p_; }
    DWORD size() const { return n_; }

private:
    BYTE* p_ = nullptr;
    DWORD n_ = 0;
};

// dst = a + b, or false if that would not fit with its terminator.
bool JoinPath(char* dst, const char* a, const char* b)
{
    const size_t na = std::strlen(a);
    const size_t nb = std::strlen(b);
    if (na + nb + 1 > kPathBufferSize) {
        return false;
    }
    std::memcpy(dst, a, na);
    std::memcpy(dst + na, b, nb + 1);
    return true;
}

enum class Step { Done, TryCreate, Retry };

// Reads and checks an existing file. TryCreate: there is no usable file to
// read (absent, unopenable or empty). Retry: a writer holds it right now.
Step ReadSecret(const char* path, HeapBlock* secret, SECURITY_STATUS* status)
{
    File file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
    if (!file.ok()) {
        return GetLastError() == ERROR_SHARING_VIOLATION ? Step::Retry : Step::TryCreate;
    }
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE) {
        *status = NTE_INTERNAL_ERROR;
        return Step::Done;
    }
    if (size == 0) {
        return Step::TryCreate;
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
    LocalBlock unprotected;
    const BYTE* candidate = content.get();
    DWORD candidateLength = size;
    if (CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        content.Reset();
        unprotected.Adopt(out);
        candidate = unprotected.get();
        candidateLength = unprotected.size();
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

// Opens the file for writing only if no one else has a usable one: a new
// file, or an existing empty one held exclusively (so two creators never
// both write). Returns an invalid handle when the caller should re-read.
HANDLE OpenForCreation(const char* path, bool* failed)
{
    *failed = false;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        return h;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION) {
        *failed = true;
        return INVALID_HANDLE_VALUE;
    }
    h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileSize(h, nullptr) != 0) {
        // Someone wrote it since we looked: theirs is the secret.
        CloseHandle(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

Step CreateSecret(const char* path, HeapBlock* secret, SECURITY_STATUS* status)
{
    *status = NTE_INTERNAL_ERROR;
    HeapBlock block(kPipeSecretLength);
    if (!block) {
        *status = NTE_NO_MEMORY;
        return Step::Done;
    }
    if (BCryptGenRandom(nullptr, block.get(), kPipeSecretLength, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return Step::Done;
    }
    DATA_BLOB plain{kPipeSecretLength, block.get()};
    DATA_BLOB out{0, nullptr};
    LocalBlock protectedBlob;
    const BYTE* bytes = block.get();
    DWORD length = kPipeSecretLength;
    if (CryptProtectData(&plain, L"ZentravaPipe", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        protectedBlob.Adopt(out);
        bytes = protectedBlob.get();
        length = protectedBlob.size();
    }
    bool failed = false;
    File file(OpenForCreation(path, &failed));
    if (!file.ok()) {
        return failed ? Step::Done : Step::Retry;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes, length, &written, nullptr) || written != length) {
        return Step::Done;
    }
    file.Close();
    *secret = static_cast<HeapBlock&&>(block);
    *status = ZK_SUCCESS;
    return Step::Done;
}

}  // namespace

SECURITY_STATUS LoadPipeSecret(BYTE** secret, uint32_t* secretLength)
{
    if (secret == nullptr || secretLength == nullptr) {
        return NTE_INVALID_PARAMETER;
    }
    *secret = nullptr;
    *secretLength = 0;

    char root[kPathBufferSize];
    const DWORD rootLength = GetEnvironmentVariableA("LOCALAPPDATA", root, kPathBufferSize);
    if (rootLength == 0 || rootLength >= kPathBufferSize) {
        return NTE_INTERNAL_ERROR;
    }
    char folder[kPathBufferSize];
    char path[kPathBufferSize];
    if (!JoinPath(folder, root, "\\Zentrava") || !JoinPath(path, folder, "\\pipe.secret")) {
        return NTE_INTERNAL_ERROR;
    }
    if (!CreateDirectoryA(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return NTE_INTERNAL_ERROR;
    }

    HeapBlock block;
    SECURITY_STATUS status = NTE_INTERNAL_ERROR;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Step step = ReadSecret(path, &block, &status);
        if (step == Step::TryCreate) {
            step = CreateSecret(path, &block, &status);
        }
        if (step == Step::Done) {
            break;
        }
        Sleep(kRetryDelayMs);
    }
    if (status != ZK_SUCCESS) {
        return status;
    }
    *secret = block.Release();
    *secretLength = kPipeSecretLength;
    return ZK_SUCCESS;
}
