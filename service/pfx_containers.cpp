#include "pfx_containers.h"

#include "key_name.h"  // the wire library's u32 codec
#include "key_store.h"
#include "long_path.h"
#include "private_folder.h"

#include <bcrypt.h>
#include <ncrypt.h>
#include <wincrypt.h>

namespace {

constexpr DWORD kMaxJournalBytes = 64 * 1024;

void AppendU32(std::vector<BYTE>& out, DWORD v)
{
    BYTE field[4];
    PutU32(field, v);
    out.insert(out.end(), field, field + 4);
}

void AppendText(std::vector<BYTE>& out, const std::wstring& text)
{
    AppendU32(out, static_cast<DWORD>(text.size()));
    for (wchar_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
}

// Each record: provider type, flags, key spec, provider, name (u32 count
// of UTF-16 units, then the units).
std::vector<BYTE> Encode(const std::vector<KeyContainer>& containers)
{
    std::vector<BYTE> out;
    for (const KeyContainer& c : containers) {
        AppendU32(out, c.providerType);
        AppendU32(out, c.flags);
        AppendU32(out, c.keySpec);
        AppendText(out, c.provider);
        AppendText(out, c.name);
    }
    return out;
}

bool ReadU32(const std::vector<BYTE>& in, size_t* at, DWORD* v)
{
    if (in.size() - *at < 4) {
        return false;
    }
    *v = GetU32(in.data() + *at);
    *at += 4;
    return true;
}

bool ReadText(const std::vector<BYTE>& in, size_t* at, std::wstring* text)
{
    DWORD units = 0;
    if (!ReadU32(in, at, &units) || units > (in.size() - *at) / 2) {
        return false;
    }
    text->resize(units);
    for (DWORD i = 0; i < units; ++i) {
        (*text)[i] = static_cast<wchar_t>(in[*at + 2 * i] | (in[*at + 2 * i + 1] << 8));
    }
    *at += 2 * static_cast<size_t>(units);
    return true;
}

// The records up to the first that does not decode (a torn journal).
std::vector<KeyContainer> Decode(const std::vector<BYTE>& in)
{
    std::vector<KeyContainer> out;
    size_t at = 0;
    while (at < in.size()) {
        KeyContainer c;
        if (!ReadU32(in, &at, &c.providerType) || !ReadU32(in, &at, &c.flags) || !ReadU32(in, &at, &c.keySpec) ||
            !ReadText(in, &at, &c.provider) || !ReadText(in, &at, &c.name)) {
            break;
        }
        out.push_back(c);
    }
    return out;
}

std::wstring RandomHex()
{
    BYTE random[8];
    if (BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return {};
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring hex;
    for (BYTE b : random) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0xF];
    }
    return hex;
}

// Deletes what one journal names, if no import holds it; then removes it.
void ReplayJournal(const std::wstring& path)
{
    std::vector<BYTE> content;
    {
        const UniqueFile file(
            CreateFileW(ExtendedPath(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            return;  // held by an import in progress, or gone
        }
        const DWORD size = GetFileSize(file.get(), nullptr);
        if (size == INVALID_FILE_SIZE || size > kMaxJournalBytes) {
            return;
        }
        content.resize(size);
        DWORD read = 0;
        if (size != 0 && (!ReadFile(file.get(), content.data(), size, &read, nullptr) || read != size)) {
            return;
        }
    }
    for (const KeyContainer& c : Decode(content)) {
        DeleteKeyContainer(c);
    }
    DeleteFileW(ExtendedPath(path).c_str());
}

}  // namespace

void DeleteKeyContainer(const KeyContainer& c)
{
    if (c.providerType != 0) {
        // With CRYPT_DELETEKEYSET no context comes back, so none is released.
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, c.name.c_str(), c.provider.c_str(), c.providerType,
                             CRYPT_DELETEKEYSET | (c.flags & CRYPT_MACHINE_KEYSET));
        return;
    }
    UniqueNcryptObject provider;
    if (NCryptOpenStorageProvider(provider.Put(), c.provider.c_str(), 0) != 0) {
        provider.Forget();
        return;
    }
    NCRYPT_KEY_HANDLE key = 0;
    if (NCryptOpenKey(provider.get(), &key, c.name.c_str(), c.keySpec, c.flags & NCRYPT_MACHINE_KEY_FLAG) == 0) {
        NCryptDeleteKey(key, 0);  // frees the handle too
    }
}

void OpenContainerJournal(ContainerJournal* journal)
{
    const std::wstring folder = DataFolder();
    if (folder.empty() || EnsurePrivateFolder(ExtendedPath(folder).c_str()) != ERROR_SUCCESS) {
        return;
    }
    for (int attempt = 0; attempt < 4 && !journal->file; ++attempt) {
        const std::wstring hex = RandomHex();
        if (hex.empty()) {
            return;
        }
        journal->path = folder + L"\\pfx-" + hex + L".pending";
        journal->file.Reset(CreateFileW(ExtendedPath(journal->path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    }
}

void RecordContainers(ContainerJournal* journal, const std::vector<KeyContainer>& containers)
{
    if (!journal->file) {
        return;
    }
    const std::vector<BYTE> bytes = Encode(containers);
    LARGE_INTEGER start{};
    DWORD written = 0;
    if (SetFilePointerEx(journal->file.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(journal->file.get()) &&
        (bytes.empty() ||
         WriteFile(journal->file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))) {
        FlushFileBuffers(journal->file.get());
    }
}

void CloseContainerJournal(ContainerJournal* journal)
{
    if (journal->file) {
        journal->file.Reset();
        DeleteFileW(ExtendedPath(journal->path).c_str());
    }
}

void RemoveContainersOfInterruptedImports()
{
    const std::wstring folder = DataFolder();
    if (folder.empty()) {
        return;
    }
    std::vector<std::wstring> journals;
    WIN32_FIND_DATAW found;
    {
        const UniqueFind search(FindFirstFileW(ExtendedPath(folder + L"\\pfx-*.pending").c_str(), &found));
        if (!search) {
            return;
        }
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                journals.push_back(folder + L"\\" + found.cFileName);
            }
        } while (FindNextFileW(search.get(), &found));
    }
    for (const std::wstring& path : journals) {
        ReplayJournal(path);
    }
}
