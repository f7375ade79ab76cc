#include "key_store.h"

#include "key_file.h"
#include "key_name.h"
#include "long_path.h"
#include "private_folder.h"
#include "rsa_key.h"
#include "temp_key_file.h"
#include "unique_resource.h"

#include <wincrypt.h>

#include <algorithm>

namespace {

// A 4096-bit private blob is under 2 KiB; DPAPI adds a few hundred bytes.
constexpr DWORD kMaxKeyFileBytes = 64 * 1024;

}  // namespace

std::wstring DataFolder()
{
    wchar_t root[1024];
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", root, 1024);
    if (n == 0 || n >= 1024) {
        return {};
    }
    std::wstring folder(root, n);
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder + L"Zentrava";
}

namespace {

// The user and SYSTEM only, nothing below medium integrity (private_folder.h).
bool EnsureFolder(const std::wstring& folder, DWORD* lastError)
{
    const DWORD error = EnsurePrivateFolder(ExtendedPath(folder).c_str());
    if (error == ERROR_SUCCESS) {
        return true;
    }
    *lastError = error;
    return false;
}

bool Protect(const BYTE* data, size_t length, std::vector<BYTE>* out)
{
    DATA_BLOB in{static_cast<DWORD>(length), const_cast<BYTE*>(data)};
    DATA_BLOB protectedBlob{};
    if (!CryptProtectData(&in, L"Zentrava signing key", nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &protectedBlob)) {
        return false;
    }
    const UniqueLocalBlock held(SizedBlock{protectedBlob.pbData, protectedBlob.cbData});
    out->assign(protectedBlob.pbData, protectedBlob.pbData + protectedBlob.cbData);
    return true;
}

bool Unprotect(const BYTE* data, size_t length, HeapBlock* out)
{
    DATA_BLOB in{static_cast<DWORD>(length), const_cast<BYTE*>(data)};
    DATA_BLOB plain{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &plain)) {
        return false;
    }
    // Wiped whole: DPAPI's block can be longer than the data.
    const UniqueLocalBlock held(SizedBlock{plain.pbData, plain.cbData});
    HeapBlock copy(plain.cbData);
    if (!copy || plain.cbData == 0) {
        return false;
    }
    memcpy(copy.get(), plain.pbData, plain.cbData);
    *out = static_cast<HeapBlock&&>(copy);
    return true;
}

// Reads a whole key file. NotFound when absent, Damaged when implausibly large.
StoreResult ReadWholeFile(const std::wstring& path, std::vector<BYTE>* content)
{
    const UniqueFile file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? StoreResult::NotFound
                                                                          : StoreResult::Failed;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        return StoreResult::Failed;
    }
    if (size.QuadPart > kMaxKeyFileBytes) {
        return StoreResult::Damaged;
    }
    content->assign(static_cast<size_t>(size.QuadPart), 0);
    DWORD read = 0;
    if (!content->empty() &&
        (!ReadFile(file.get(), content->data(), static_cast<DWORD>(content->size()), &read, nullptr) ||
         read != content->size())) {
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

ULONG BlobBits(const HeapBlock& blob)
{
    BCRYPT_RSAKEY_BLOB header;
    memcpy(&header, blob.get(), sizeof(header));
    return header.BitLength;
}

// Parses a key file's content without opening its protected blob; Damaged
// when it is not a well-formed file of the key its file name belongs to.
StoreResult ParseKeyContent(const std::vector<BYTE>& content, const std::wstring& fileName, std::wstring* name,
                            ParsedKeyFile* parsed)
{
    if (!ParseKeyFile(content.data(), content.size(), parsed)) {
        ReadKeyFileName(content.data(), content.size(), name);  // for the report
        return StoreResult::Damaged;
    }
    *name = parsed->name;
    // A file copied or renamed onto another key's file name is not that key.
    return KeyFileName(parsed->name) == fileName ? StoreResult::Ok : StoreResult::Damaged;
}

// Parses and unprotects a key file's content; Damaged for anything unusable.
StoreResult OpenKeyContent(const std::vector<BYTE>& content, const std::wstring& fileName,
                           std::wstring* name, HeapBlock* blob)
{
    ParsedKeyFile parsed;
    StoreResult r = ParseKeyContent(content, fileName, name, &parsed);
    if (r != StoreResult::Ok) {
        return r;
    }
    HeapBlock plain;
    if (!Unprotect(parsed.blob, parsed.blobLength, &plain) ||
        plain.size() < sizeof(BCRYPT_RSAKEY_BLOB)) {
        return StoreResult::Damaged;
    }
    // The size in clear is what "list" shows; it must be the key's own.
    if (parsed.version != kKeyFileVersionWithoutBits && BlobBits(plain) != parsed.bits) {
        return StoreResult::Damaged;
    }
    *blob = static_cast<HeapBlock&&>(plain);
    return StoreResult::Ok;
}

bool WriteNewFile(const std::wstring& path, const std::vector<BYTE>& content)
{
    bool ok = false;
    {
        const UniqueFile file(CreateFileW(ExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return false;
        }
        DWORD written = 0;
        ok = WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
             written == content.size() && FlushFileBuffers(file.get());
    }
    // Closed first: a file still open cannot go.
    if (!ok) {
        DeleteFileW(ExtendedPath(path).c_str());
    }
    return ok;
}

}  // namespace

bool SameStamp(const KeyFileStamp& a, const KeyFileStamp& b)
{
    return CompareFileTime(&a.created, &b.created) == 0 &&
           CompareFileTime(&a.written, &b.written) == 0 && a.size == b.size;
}

std::wstring KeysFolder()
{
    std::wstring folder = DataFolder();
    return folder.empty() ? folder : folder + L"\\keys";
}

std::wstring KeyFilePath(const std::wstring& name)
{
    std::wstring folder = KeysFolder();
    std::wstring file = KeyFileName(name);
    if (folder.empty() || file.empty()) {
        return {};
    }
    return folder + L"\\" + file;
}

StoreResult CreateKey(const std::wstring& name, ULONG bits, DWORD* lastError)
{
    *lastError = 0;
    if (!IsValidKeyName(name)) {
        return StoreResult::BadName;
    }
    if (KeyFilePath(name).empty() || !IsSupportedKeyBits(bits)) {
        return StoreResult::Failed;
    }
    // Refuse before the slow key generation; storing checks again.
    KeyFileStamp existing;
    StoreResult present = StatKeyFile(name, &existing);
    if (present != StoreResult::NotFound) {
        return present == StoreResult::Ok ? StoreResult::Exists : present;
    }
    HeapBlock blob;
    LONG status = GenerateRsaPrivateBlob(bits, &blob);
    if (status < 0) {
        *lastError = static_cast<DWORD>(status);
        return StoreResult::Failed;
    }
    return StoreNewKey(name, blob, lastError);
}

StoreResult StoreNewKey(const std::wstring& name, const HeapBlock& blob, DWORD* lastError)
{
    *lastError = 0;
    if (!IsValidKeyName(name)) {
        return StoreResult::BadName;
    }
    std::wstring path = KeyFilePath(name);
    if (path.empty() || blob.size() < sizeof(BCRYPT_RSAKEY_BLOB)) {
        return StoreResult::Failed;
    }
    KeyFileStamp existing;
    StoreResult present = StatKeyFile(name, &existing);
    if (present != StoreResult::NotFound) {
        return present == StoreResult::Ok ? StoreResult::Exists : present;
    }
    if (!EnsureFolder(DataFolder(), lastError) || !EnsureFolder(KeysFolder(), lastError)) {
        return StoreResult::Failed;
    }
    std::vector<BYTE> protectedBlob;
    if (!Protect(blob.get(), blob.size(), &protectedBlob)) {
        *lastError = GetLastError();
        return StoreResult::Failed;
    }
    // Written under a temporary name and renamed, so no reader ever sees a
    // partly written key file, and a concurrent create of the same name loses.
    RemoveStaleTempFiles(KeysFolder());
    std::wstring temp;
    LONG status = 0;
    if (!RandomTempPath(path, &temp, &status)) {
        *lastError = static_cast<DWORD>(status);
        return StoreResult::Failed;
    }
    if (!WriteNewFile(temp, BuildKeyFile(name, BlobBits(blob), protectedBlob.data(), protectedBlob.size()))) {
        *lastError = GetLastError();
        return StoreResult::Failed;
    }
    if (!MoveFileExW(ExtendedPath(temp).c_str(), ExtendedPath(path).c_str(), MOVEFILE_WRITE_THROUGH)) {
        DWORD err = GetLastError();
        DeleteFileW(ExtendedPath(temp).c_str());
        if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
            return StoreResult::Exists;
        }
        *lastError = err;
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

StoreResult DeleteKey(const std::wstring& name, DWORD* lastError)
{
    *lastError = 0;
    if (!IsValidKeyName(name)) {
        return StoreResult::BadName;
    }
    std::wstring path = KeyFilePath(name);
    if (path.empty()) {
        return StoreResult::Failed;
    }
    if (DeleteFileW(ExtendedPath(path).c_str())) {
        return StoreResult::Ok;
    }
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
        return StoreResult::NotFound;
    }
    *lastError = err;
    return StoreResult::Failed;
}

StoreResult ListKeys(std::vector<KeyListEntry>* keys)
{
    keys->clear();
    std::wstring folder = KeysFolder();
    if (folder.empty()) {
        return StoreResult::Failed;
    }
    WIN32_FIND_DATAW found;
    const UniqueFind search(FindFirstFileW(ExtendedPath(folder + L"\\*.key").c_str(), &found));
    if (!search) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? StoreResult::Ok
                                                                          : StoreResult::Failed;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        KeyListEntry entry;
        entry.fileName = found.cFileName;
        // Only the clear part: listing opens no private key.
        std::vector<BYTE> content;
        ParsedKeyFile parsed;
        StoreResult r = ReadWholeFile(folder + L"\\" + entry.fileName, &content);
        if (r == StoreResult::Ok) {
            r = ParseKeyContent(content, entry.fileName, &entry.name, &parsed);
        }
        if (r == StoreResult::NotFound) {
            continue;  // deleted while listing
        }
        entry.damaged = r != StoreResult::Ok;
        if (!entry.damaged) {
            entry.bits = parsed.bits;
        }
        keys->push_back(entry);
    } while (FindNextFileW(search.get(), &found));
    std::sort(keys->begin(), keys->end(), [](const KeyListEntry& a, const KeyListEntry& b) {
        return a.name != b.name ? a.name < b.name : a.fileName < b.fileName;
    });
    return StoreResult::Ok;
}

StoreResult LoadKeyBlob(const std::wstring& name, HeapBlock* blob, KeyFileStamp* stamp)
{
    if (!IsValidKeyName(name)) {
        return StoreResult::NotFound;
    }
    StoreResult r = StatKeyFile(name, stamp);
    if (r != StoreResult::Ok) {
        return r;
    }
    std::vector<BYTE> content;
    r = ReadWholeFile(KeyFilePath(name), &content);
    if (r != StoreResult::Ok) {
        return r;
    }
    std::wstring stored;
    r = OpenKeyContent(content, KeyFileName(name), &stored, blob);
    if (r == StoreResult::Ok && stored != name) {
        blob->Reset();
        r = StoreResult::Damaged;
    }
    return r;
}

StoreResult StatKeyFile(const std::wstring& name, KeyFileStamp* stamp)
{
    std::wstring path = KeyFilePath(name);
    if (path.empty()) {
        return IsValidKeyName(name) ? StoreResult::Failed : StoreResult::NotFound;
    }
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ExtendedPath(path).c_str(), GetFileExInfoStandard, &data)) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? StoreResult::NotFound
                                                                          : StoreResult::Failed;
    }
    stamp->created = data.ftCreationTime;
    stamp->written = data.ftLastWriteTime;
    stamp->size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return StoreResult::Ok;
}
