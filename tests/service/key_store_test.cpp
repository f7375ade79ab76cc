// The key store in this process: what "list" reads, temporary files of a
// create that never finished, and key files of the older format.
#include "data_root.h"
#include "folder_security.h"
#include "interposer.h"
#include "key_store.h"
#include "temp_folder.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void PutU32(std::vector<BYTE>& out, DWORD v)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<BYTE>(v >> (8 * i)));
    }
}

// Older than any create takes between writing and renaming.
constexpr ULONGLONG kStaleAge = 3600;

// Sets a file's write time this many seconds into the past.
bool Age(const std::wstring& path, ULONGLONG seconds)
{
    HANDLE f = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart -= seconds * 10000000ULL;
    FILETIME old{t.LowPart, t.HighPart};
    const bool ok = SetFileTime(f, nullptr, nullptr, &old) != FALSE;
    CloseHandle(f);
    return ok;
}

bool EndsWith(const std::wstring& s, const std::wstring& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Both folders of the store admit the user and SYSTEM only and carry the
// medium label, made so or, when an older version made them, set on them
// (Wine keeps neither flags nor labels: see folder_security.h).
TEST(KeyStore, FoldersAdmitOnlyTheUserAndSystemAndNothingBelowMedium)
{
    const std::wstring user = zt::CurrentUserSidString();
    ASSERT_FALSE(user.empty());
    const std::wstring dacl = L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)";
    const std::wstring label = L"S:(ML;OICI;NWNR;;;ME)";
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "made by an older version" : "made now");
        zt::TempDataRoot root;
        const std::wstring folders[] = {root.wideFolder(), root.wideFolder() + L"\\keys"};
        if (existing) {
            ASSERT_TRUE(CreateDirectoryW(folders[0].c_str(), nullptr) && CreateDirectoryW(folders[1].c_str(), nullptr));
        }
        DWORD error = 0;
        zt::FolderSecurityRecorder requests(GetModuleHandleW(nullptr));
        ASSERT_TRUE(requests.active());
        ASSERT_EQ(StoreResult::Ok, CreateKey(L"k", 2048, &error)) << error;
        ASSERT_EQ(2u, requests.made.size());
        ASSERT_EQ(existing ? 4u : 0u, requests.set.size());
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_TRUE(EndsWith(requests.made[i].path, i == 0 ? L"\\Zentrava" : L"\\Zentrava\\keys"));
            EXPECT_EQ(dacl + label, requests.made[i].sddl);
            if (existing) {
                EXPECT_EQ(requests.made[i].path, requests.set[2 * i].path);
                EXPECT_EQ(dacl, requests.set[2 * i].sddl);
                EXPECT_EQ(label, requests.set[2 * i + 1].sddl);
            } else {
                std::vector<std::wstring> trustees = zt::DaclTrustees(zt::ReadBackSddl(folders[i]));
                std::sort(trustees.begin(), trustees.end());
                EXPECT_EQ((std::vector<std::wstring>{user, L"SY"}), trustees);
            }
        }
    }
}

TEST(KeyStore, ListShowsEverySizeWithoutOpeningAnyProtectedBlob)
{
    zt::TempDataRoot root;
    DWORD error = 0;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"small", 2048, &error)) << error;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"large", 3072, &error)) << error;

    std::vector<KeyListEntry> keys;
    size_t unprotects = 0;
    {
        zt::Interposer spy(GetModuleHandleW(nullptr));
        ASSERT_EQ(StoreResult::Ok, ListKeys(&keys));
        unprotects = spy.CallCount(zt::Fn::CryptUnprotectData);
    }
    EXPECT_EQ(0u, unprotects);
    ASSERT_EQ(2u, keys.size());
    EXPECT_EQ(L"large", keys[0].name);
    EXPECT_EQ(3072u, keys[0].bits);
    EXPECT_EQ(L"small", keys[1].name);
    EXPECT_EQ(2048u, keys[1].bits);
    EXPECT_FALSE(keys[0].damaged || keys[1].damaged);
}

// A crashed create of the old naming left "<file>.<pid>-<tid>.tmp"; the same
// process and thread id come round again and must not make create fail.
TEST(KeyStore, TemporaryFileOfACrashedCreateDoesNotBlockTheNextOne)
{
    zt::TempDataRoot root;
    DWORD error = 0;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"first", 2048, &error));  // makes the folder
    const std::wstring path = KeyFilePath(L"k");
    wchar_t suffix[48];
    wsprintfW(suffix, L".%lu-%lu.tmp", GetCurrentProcessId(), GetCurrentThreadId());
    ASSERT_TRUE(zt::WriteFileBytes(path + suffix, std::vector<BYTE>{1, 2, 3}));

    EXPECT_EQ(StoreResult::Ok, CreateKey(L"k", 2048, &error)) << error;
    EXPECT_TRUE(Exists(path));
}

TEST(KeyStore, StaleTemporaryFilesAreRemovedAndFreshOnesKept)
{
    zt::TempDataRoot root;
    DWORD error = 0;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"first", 2048, &error));
    const std::wstring stale = KeyFilePath(L"crashed") + L".00112233445566778899aabbccddeeff.tmp";
    const std::wstring oldNaming = KeyFilePath(L"crashed too") + L".1234-5678.tmp";
    const std::wstring fresh = KeyFilePath(L"running") + L".ffeeddccbbaa99887766554433221100.tmp";
    const std::wstring unrelated = KeysFolder() + L"\\notes.tmp";
    for (const std::wstring* p : {&stale, &oldNaming, &fresh, &unrelated}) {
        ASSERT_TRUE(zt::WriteFileBytes(*p, std::vector<BYTE>{7}));
    }
    ASSERT_TRUE(Age(stale, kStaleAge));
    ASSERT_TRUE(Age(oldNaming, kStaleAge));
    ASSERT_TRUE(Age(unrelated, kStaleAge));

    ASSERT_EQ(StoreResult::Ok, CreateKey(L"second", 2048, &error));
    EXPECT_FALSE(Exists(stale));
    EXPECT_FALSE(Exists(oldNaming));
    EXPECT_TRUE(Exists(fresh));      // may be a create that runs right now
    EXPECT_TRUE(Exists(unrelated));  // not one of ours
    std::vector<KeyListEntry> keys;
    ASSERT_EQ(StoreResult::Ok, ListKeys(&keys));
    EXPECT_EQ(2u, keys.size());
}

// A key file written before the size was kept in clear (format 1) is listed
// without a size and still opens.
TEST(KeyStore, FormatOneFilesAreListedAndStillOpen)
{
    zt::TempDataRoot root;
    DWORD error = 0;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"new", 2048, &error));
    HeapBlock blob;
    KeyFileStamp stamp;
    ASSERT_EQ(StoreResult::Ok, LoadKeyBlob(L"new", &blob, &stamp));
    const std::vector<BYTE> plain(blob.get(), blob.get() + blob.size());
    const std::vector<BYTE> protectedBlob = zt::Protect(plain);
    ASSERT_FALSE(protectedBlob.empty());
    const std::wstring name = L"old";
    std::vector<BYTE> file = {'Z', 'K', 'E', 'Y'};
    PutU32(file, 1);
    PutU32(file, static_cast<DWORD>(name.size() * 2));
    for (wchar_t c : name) {
        file.push_back(static_cast<BYTE>(c));
        file.push_back(0);
    }
    PutU32(file, static_cast<DWORD>(protectedBlob.size()));
    file.insert(file.end(), protectedBlob.begin(), protectedBlob.end());
    ASSERT_TRUE(zt::WriteFileBytes(KeyFilePath(name), file));

    std::vector<KeyListEntry> keys;
    ASSERT_EQ(StoreResult::Ok, ListKeys(&keys));
    ASSERT_EQ(2u, keys.size());
    EXPECT_EQ(L"new", keys[0].name);
    EXPECT_EQ(2048u, keys[0].bits);
    EXPECT_EQ(L"old", keys[1].name);
    EXPECT_EQ(0u, keys[1].bits);
    EXPECT_FALSE(keys[1].damaged);

    HeapBlock opened;
    ASSERT_EQ(StoreResult::Ok, LoadKeyBlob(name, &opened, &stamp));
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), opened.get(), opened.get() + opened.size()));
}

// The size in clear is only a copy: one that disagrees with the protected
// key makes the file damaged when the key is used.
TEST(KeyStore, SizeInClearThatDisagreesWithTheKeyIsDamage)
{
    zt::TempDataRoot root;
    DWORD error = 0;
    ASSERT_EQ(StoreResult::Ok, CreateKey(L"k", 2048, &error));
    const std::wstring path = KeyFilePath(L"k");
    std::vector<BYTE> file = zt::ReadFileBytes(path);
    const size_t bitsAt = 12 + 2;  // after magic, version, name length and the name "k"
    ASSERT_GT(file.size(), bitsAt + 4);
    ASSERT_EQ(0x00, file[bitsAt]);
    ASSERT_EQ(0x08, file[bitsAt + 1]);  // 2048 = 0x800
    file[bitsAt + 1] = 0x10;            // claims 4096
    ASSERT_TRUE(zt::WriteFileBytes(path, file));

    std::vector<KeyListEntry> keys;
    ASSERT_EQ(StoreResult::Ok, ListKeys(&keys));
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(4096u, keys[0].bits);  // list trusts the clear part, by design
    HeapBlock blob;
    KeyFileStamp stamp;
    EXPECT_EQ(StoreResult::Damaged, LoadKeyBlob(L"k", &blob, &stamp));
}

}  // namespace
