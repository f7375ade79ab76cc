// The pipe secret store on the static library, with this executable's own
// imports interposed, each test in a private data root.
#include "child_process.h"
#include "data_root.h"
#include "folder_security.h"
#include "interposer.h"
#include "ksp_status.h"
#include "pipe_secret.h"
#include "provider_loader.h"
#include "byte_pattern.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

HMODULE Self()
{
    return GetModuleHandleW(nullptr);
}

std::vector<BYTE> Bytes(size_t n, BYTE first)
{
    return zt::BytePattern(n, first, 7);
}

std::string Hex(const BYTE* p, size_t n)
{
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", p[i]);
        s += two;
    }
    return s;
}

// LocalAlloc blocks of the folder's security (SID string, descriptors), which
// go back with LocalFree like DPAPI's.
size_t SecurityBlocks(const zt::Interposer& spy)
{
    return spy.CallCount(zt::Fn::ConvertSidToStringSidW) +
           spy.CallCount(zt::Fn::ConvertStringSecurityDescriptorToSecurityDescriptorW) +
           spy.CallCount(zt::Fn::GetNamedSecurityInfoW);
}

// One call, checked for its own hygiene: nothing but the handed-out block
// left, nothing open, every freed block zero. Returns the secret's bytes.
struct Loaded {
    SECURITY_STATUS status;
    std::vector<BYTE> secret;
};

Loaded LoadChecked(zt::Interposer& spy)
{
    BYTE* secret = reinterpret_cast<BYTE*>(1);
    uint32_t length = 99;
    Loaded r;
    r.status = LoadPipeSecret(&secret, &length);
    EXPECT_EQ(0u, spy.OpenHandlesTotal());
    EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
    if (r.status != 0) {
        EXPECT_EQ(nullptr, secret);
        EXPECT_EQ(0u, length);
        EXPECT_EQ(0u, spy.LiveBlocks());
        return r;
    }
    EXPECT_EQ(32u, length);
    EXPECT_NE(nullptr, secret);
    if (secret == nullptr || length != 32) {
        return r;
    }
    EXPECT_EQ(1u, spy.LiveBlocks());  // the secret block, now the caller's
    r.secret.assign(secret, secret + 32);
    SecureZeroMemory(secret, 32);
    HeapFree(GetProcessHeap(), 0, secret);
    EXPECT_EQ(0u, spy.LiveBlocks());
    return r;
}

// A load that has to make a new secret: it succeeds, and the file then
// holds that secret DPAPI-protected.
void LoadNewSecret(const zt::TempDataRoot& root, Loaded* r)
{
    {
        zt::Interposer spy(Self());
        *r = LoadChecked(spy);
    }
    ASSERT_EQ(0, r->status);
    bool ok = false;
    EXPECT_EQ(r->secret, zt::Unprotect(root.ReadSecretFile(), &ok));
}

class PipeSecret : public ::testing::Test {
protected:
    zt::TempDataRoot root;
    void SetUp() override { ASSERT_TRUE(root.ok()); }
};

TEST_F(PipeSecret, FirstUseCreatesHiddenProtectedFile)
{
    Loaded first;
    {
        zt::Interposer spy(Self());
        first = LoadChecked(spy);
        ASSERT_EQ(0, first.status);
        EXPECT_EQ(1u, spy.CallCount(zt::Fn::CryptProtectData));
        EXPECT_EQ(1u, spy.CallCount(zt::Fn::WriteFile));
        // The protected blob goes back to DPAPI's allocator, not the heap.
        EXPECT_EQ(1u + SecurityBlocks(spy), spy.CallCount(zt::Fn::LocalFree));
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::HeapFree) - 1);  // only the test's own free
    }
    const DWORD attributes = root.SecretFileAttributes();
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    const std::vector<BYTE> blob = root.ReadSecretFile();
    EXPECT_GT(blob.size(), 32u);
    bool ok = false;
    EXPECT_EQ(first.secret, zt::Unprotect(blob, &ok));
    EXPECT_TRUE(ok);

    // Second use: same bytes, nothing written, the folder's existence is fine.
    {
        zt::Interposer spy(Self());
        spy.WatchSecret("pipe secret", first.secret.data(), 32);
        const Loaded second = LoadChecked(spy);
        ASSERT_EQ(0, second.status);
        EXPECT_EQ(first.secret, second.secret);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::CryptProtectData));
        EXPECT_EQ(1u + SecurityBlocks(spy), spy.CallCount(zt::Fn::LocalFree));  // the unprotected copy
        EXPECT_TRUE(spy.SecretHits().empty());
    }
    EXPECT_EQ(blob, root.ReadSecretFile());
}

// The folder admits the user and SYSTEM only and carries the medium label,
// both inherited by what is made inside: when the store makes it, and the
// next time for a folder an older version made. Wine keeps only what maps
// to Unix modes (no label, no flags), so the requests are checked as well.
TEST_F(PipeSecret, FolderAdmitsOnlyTheUserAndSystemAndNothingBelowMedium)
{
    const std::wstring user = zt::CurrentUserSidString();
    ASSERT_FALSE(user.empty());
    const std::wstring dacl = L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)";
    const std::wstring label = L"S:(ML;OICI;NWNR;;;ME)";
    const struct {
        const char* name;
        bool existing;
        std::wstring answer;  // what the folder reads as, where Wine cannot keep it
        bool setsIt;
    } cases[] = {
        {"made now", false, L"", false},
        {"made by an older version", true, L"", true},
        {"protected, no label", true, L"D:PAI(A;OICI;FA;;;" + user + L")", true},
        {"already private", true, L"D:PAI(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)" + label, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        zt::RemoveTree(root.folder());
        if (c.existing) {
            ASSERT_TRUE(CreateDirectoryW(root.wideFolder().c_str(), nullptr));
        }
        BYTE* secret = nullptr;
        uint32_t length = 0;
        {
            zt::FolderSecurityRecorder requests(Self());
            ASSERT_TRUE(requests.active());
            requests.AnswerReadsWith(c.answer);
            ASSERT_EQ(0, LoadPipeSecret(&secret, &length));
            ASSERT_EQ(1u, requests.made.size());
            EXPECT_EQ(root.wideFolder(), requests.made[0].path);
            EXPECT_EQ(dacl + label, requests.made[0].sddl);
            ASSERT_EQ(c.setsIt ? 2u : 0u, requests.set.size());
            for (size_t i = 0; i < requests.set.size(); ++i) {
                EXPECT_EQ(root.wideFolder(), requests.set[i].path);
                EXPECT_EQ(i == 0 ? DACL_SECURITY_INFORMATION : LABEL_SECURITY_INFORMATION, requests.set[i].info);
                EXPECT_EQ(i == 0 ? dacl : label, requests.set[i].sddl);
            }
        }
        SecureZeroMemory(secret, length);
        HeapFree(GetProcessHeap(), 0, secret);
        // Wine 8.0 answers SetNamedSecurityInfoW with success and changes
        // nothing, so only a folder made now reads back changed here.
        if (!c.existing) {
            std::vector<std::wstring> trustees = zt::DaclTrustees(zt::ReadBackSddl(root.wideFolder()));
            std::sort(trustees.begin(), trustees.end());
            EXPECT_EQ((std::vector<std::wstring>{user, L"SY"}), trustees) << zt::ReadBackSddl(root.wideFolder());
        }
    }
}

TEST_F(PipeSecret, PlainFileOf32BytesIsTheSecret)
{
    const std::vector<BYTE> plain = Bytes(32, 3);
    root.WriteSecretFile(plain);
    zt::Interposer spy(Self());
    spy.WatchSecret("plain secret", plain.data(), plain.size());
    const Loaded r = LoadChecked(spy);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(plain, r.secret);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
    EXPECT_TRUE(spy.SecretHits().empty());
}

TEST_F(PipeSecret, ContentOtherThan32BytesIsRefusedAndKept)
{
    bool ok = false;
    const std::vector<BYTE> shortBlob = zt::Protect(Bytes(16, 1));
    ASSERT_FALSE(shortBlob.empty());
    std::vector<BYTE> damaged = zt::Protect(Bytes(32, 1));
    ASSERT_FALSE(damaged.empty());
    damaged[damaged.size() - 5] ^= 0x40;
    zt::Unprotect(damaged, &ok);
    ASSERT_FALSE(ok) << "a damaged blob must not unprotect";
    const std::vector<std::vector<BYTE>> contents = {Bytes(31, 9), Bytes(33, 9), shortBlob, damaged};
    for (const auto& content : contents) {
        root.WriteSecretFile(content);
        zt::Interposer spy(Self());
        for (int call = 0; call < 2; ++call) {
            EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status) << content.size() << " bytes";
        }
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
        EXPECT_EQ(content, root.ReadSecretFile());
    }
}

// An empty file is what an older version leaves when it dies between
// creating the file and writing it.
TEST_F(PipeSecret, EmptyFileIsReplaced)
{
    root.WriteSecretFile({});
    Loaded r;
    ASSERT_NO_FATAL_FAILURE(LoadNewSecret(root, &r));
    EXPECT_TRUE(root.SecretFileAttributes() & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(root.wideTempFile().c_str()));
}

// A temporary file left by a creator that died is never read as the secret;
// the next creation writes over it and moves it into place.
TEST_F(PipeSecret, StaleTemporaryFileIsIgnoredAndCleanedUp)
{
    const std::vector<BYTE> torn = Bytes(100, 0x66);
    CreateDirectoryW(root.wideFolder().c_str(), nullptr);
    zt::WriteFileBytes(root.wideTempFile(), torn);
    Loaded r;
    ASSERT_NO_FATAL_FAILURE(LoadNewSecret(root, &r));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(root.wideTempFile().c_str())) << "left behind";

    // Beside a usable secret it is not even looked at.
    zt::WriteFileBytes(root.wideTempFile(), torn);
    zt::Interposer spy(Self());
    EXPECT_EQ(r.secret, LoadChecked(spy).secret);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
}

// A creator that dies in the middle of writing (the test ends it inside
// WriteFile, after half the bytes) must not leave a file that locks the
// user out: the next call makes a secret and everyone uses it.
TEST_F(PipeSecret, CrashWhileWritingTheFirstSecretLocksNoOneOut)
{
    const std::wstring probe = zt::BesideExe(L"secret_probe.exe");
    const zt::ChildRun run = zt::RunChild(L"\"" + probe + L"\" --die-in-write", {}, 30000);
    ASSERT_TRUE(run.started);
    EXPECT_TRUE(run.finished);
    ASSERT_EQ(9u, run.exitCode) << "the probe did not die inside its write";

    Loaded r;
    ASSERT_NO_FATAL_FAILURE(LoadNewSecret(root, &r));
    zt::Interposer spy(Self());
    EXPECT_EQ(r.secret, LoadChecked(spy).secret);
}

// Something that is not a file where the file belongs will not go away by
// waiting: the call fails at once, without retries, and leaves it alone.
TEST_F(PipeSecret, FolderWhereTheFileBelongsFailsAtOnce)
{
    CreateDirectoryW(root.wideFolder().c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(root.wideSecretFile().c_str(), nullptr));
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::Sleep)) << "retried";
    EXPECT_EQ(1u, spy.CallCount(zt::Fn::CreateFileW));
    EXPECT_TRUE(GetFileAttributesW(root.wideSecretFile().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(PipeSecret, PlainFormWhenProtectionFails)
{
    zt::Interposer spy(Self());
    spy.FailNthCallOf(zt::Fn::CryptProtectData, 1);
    const Loaded r = LoadChecked(spy);
    ASSERT_EQ(0, r.status);
    EXPECT_EQ(r.secret, root.ReadSecretFile());
    EXPECT_EQ(SecurityBlocks(spy), spy.CallCount(zt::Fn::LocalFree));
}

// A data root of 238 UTF-16 units (with `leaf` as its last folder) takes
// the secret; one of 239 is refused before anything is created.
void CheckDataRootLengthLimit(const std::wstring& leaf)
{
    {
        zt::TempDataRoot root(238, leaf);
        ASSERT_TRUE(root.ok());
        ASSERT_EQ(238u, root.widePath().size());
        zt::Interposer spy(Self());
        EXPECT_EQ(0, LoadChecked(spy).status);
        EXPECT_TRUE(root.SecretFileExists());
    }
    zt::TempDataRoot root(239, leaf);
    ASSERT_TRUE(root.ok());
    ASSERT_EQ(239u, root.widePath().size());
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateDirectoryW));
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(root.wideFolder().c_str()));
}

TEST(PipeSecretPaths, DataRootLengthLimit)
{
    CheckDataRootLengthLimit(L"");
}

// Names the ANSI code page cannot hold; the limits count UTF-16 units (the
// last character of the leaf is outside the BMP: two units).
TEST(PipeSecretPaths, DataRootOutsideTheAnsiCodePage)
{
    const std::wstring leaf = L"data\u0416\U0001F600";
    {
        zt::TempDataRoot root(0, leaf);
        ASSERT_TRUE(root.ok());
        Loaded first;
        ASSERT_NO_FATAL_FAILURE(LoadNewSecret(root, &first));
        zt::Interposer spy(Self());
        EXPECT_EQ(first.secret, LoadChecked(spy).secret);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::WriteFile));
    }
    CheckDataRootLengthLimit(leaf);
}

TEST(PipeSecretPaths, MissingOrUnusableRootCreatesNothing)
{
    zt::TempDataRoot root;
    ASSERT_TRUE(root.ok());
    const std::string missing = root.path() + "\\absent";
    root.SetVariable(missing);
    {
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status);
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateFileW));
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(missing.c_str()));

    const std::string values[] = {"", std::string(260, 'x'), std::string(300, 'y')};
    for (const std::string& value : values) {
        root.SetVariable(value);
        zt::Interposer spy(Self());
        EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status) << value.size();
        EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateDirectoryW));
    }
    SetEnvironmentVariableA("LOCALAPPDATA", nullptr);
    zt::Interposer spy(Self());
    EXPECT_EQ(NTE_INTERNAL_ERROR, LoadChecked(spy).status);
    EXPECT_EQ(0u, spy.CallCount(zt::Fn::CreateDirectoryW));
}

TEST(PipeSecretPaths, MissingOutPointers)
{
    BYTE* secret = nullptr;
    uint32_t length = 7;
    EXPECT_EQ(NTE_INVALID_PARAMETER, LoadPipeSecret(nullptr, &length));
    EXPECT_EQ(7u, length);
    EXPECT_EQ(NTE_INVALID_PARAMETER, LoadPipeSecret(&secret, nullptr));
}

// Every hooked call of the create path and of the read path fails in turn:
// the status is a failure (or success where the failure cannot matter), and
// nothing leaks either way.
void SweepFailures(zt::TempDataRoot& root, const std::vector<BYTE>* existing)
{
    {
        // gtest starts a helper thread at a thread's first SCOPED_TRACE; that
        // thread's calls would count in the sweep below, so start it now.
        SCOPED_TRACE("warm-up");
    }
    auto prepare = [&] {
        zt::RemoveTree(root.folder());
        if (existing != nullptr) {
            root.WriteSecretFile(*existing);
        }
    };
    prepare();
    size_t calls = 0;
    {
        zt::Interposer spy(Self());
        ASSERT_EQ(0, LoadChecked(spy).status);
        calls = spy.Calls().size() - 1;  // without the test's own HeapFree
    }
    ASSERT_GT(calls, 5u);
    for (uint64_t n = 1; n <= calls; ++n) {
        prepare();
        zt::Interposer spy(Self());
        spy.FailNthCall(n);
        spy.SetFailureLastError(ERROR_ACCESS_DENIED);
        const Loaded r = LoadChecked(spy);
        const zt::Fn failed = spy.Calls()[n - 1].fn;
        SCOPED_TRACE(std::string("failing ") + zt::FnName(failed) + " (call " + std::to_string(n) + ")");
        if (r.status == 0) {
            // Only failures that do not touch the secret may go unnoticed.
            EXPECT_TRUE(failed == zt::Fn::CryptProtectData || failed == zt::Fn::CryptUnprotectData ||
                        failed == zt::Fn::CloseHandle || failed == zt::Fn::LocalFree ||
                        failed == zt::Fn::HeapFree || failed == zt::Fn::CreateFileW ||
                        failed == zt::Fn::MoveFileExW || failed == zt::Fn::GetFileAttributesW ||
                        zt::ProtectsAnExistingFolder(failed));
            ASSERT_EQ(32u, r.secret.size());
            // Whatever was handed out is what the file now holds.
            std::vector<BYTE> file = root.ReadSecretFile();
            bool ok = false;
            std::vector<BYTE> plain = zt::Unprotect(file, &ok);
            EXPECT_EQ(r.secret, ok ? plain : file);
        } else {
            EXPECT_TRUE(r.status == NTE_INTERNAL_ERROR || r.status == NTE_NO_MEMORY) << std::hex << r.status;
            if (failed == zt::Fn::HeapAlloc) {
                EXPECT_EQ(NTE_NO_MEMORY, r.status);
            }
            if (existing != nullptr) {
                EXPECT_EQ(*existing, root.ReadSecretFile());
            }
        }
    }
}

TEST_F(PipeSecret, FailureSweepOfCreation)
{
    SweepFailures(root, nullptr);
}

TEST_F(PipeSecret, FailureSweepOfReading)
{
    const std::vector<BYTE> blob = zt::Protect(Bytes(32, 5));
    ASSERT_FALSE(blob.empty());
    SweepFailures(root, &blob);
}

TEST_F(PipeSecret, ConcurrentFirstUseInThreads)
{
    constexpr int kThreads = 8;
    std::vector<std::vector<BYTE>> got(kThreads);
    std::vector<SECURITY_STATUS> status(kThreads, -1);
    std::atomic<int> ready{0};
    {
        zt::Interposer spy(Self());
        // Every thread finds no file and is slow to protect, then slow to write.
        spy.SetDelay(zt::Fn::CryptProtectData, 20);
        spy.SetDelay(zt::Fn::WriteFile, 20);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                ++ready;
                while (ready.load() < kThreads) {
                    std::this_thread::yield();
                }
                BYTE* secret = nullptr;
                uint32_t length = 0;
                status[i] = LoadPipeSecret(&secret, &length);
                if (status[i] == 0) {
                    got[i].assign(secret, secret + length);
                    SecureZeroMemory(secret, length);
                    HeapFree(GetProcessHeap(), 0, secret);
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(0u, spy.LiveBlocks());
        EXPECT_EQ(0u, spy.OpenHandlesTotal());
        EXPECT_TRUE(spy.UnwipedFrees().empty()) << zt::DescribeUnwiped(spy.UnwipedFrees());
        EXPECT_EQ(1u, spy.CallCount(zt::Fn::WriteFile));  // one creator only
    }
    bool ok = false;
    const std::vector<BYTE> inFile = zt::Unprotect(root.ReadSecretFile(), &ok);
    ASSERT_TRUE(ok);
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(0, status[i]) << "thread " << i;
        EXPECT_EQ(inFile, got[i]) << "thread " << i;
    }
}

TEST_F(PipeSecret, ConcurrentFirstUseInProcesses)
{
    constexpr int kProcesses = 6;
    wchar_t eventName[64];
    std::swprintf(eventName, 64, L"zk_secret_go_%lu", GetCurrentProcessId());
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, eventName);
    ASSERT_NE(nullptr, go);
    const std::wstring probe = zt::BesideExe(L"secret_probe.exe");
    std::vector<std::unique_ptr<zt::ChildProcess>> children;
    std::vector<std::string> outputs;
    for (int i = 0; i < kProcesses; ++i) {
        const std::string out = root.path() + "\\probe" + std::to_string(i) + ".txt";
        outputs.push_back(out);
        // The children inherit this process's environment, LOCALAPPDATA included.
        const std::wstring cmd = L"\"" + probe + L"\" \"" + std::wstring(out.begin(), out.end()) + L"\" " +
                                 eventName + L" " + std::to_wstring(20 + 10 * i);
        children.push_back(std::make_unique<zt::ChildProcess>());
        ASSERT_TRUE(children.back()->Start(cmd)) << children.back()->StartError();
    }
    Sleep(300);  // let every child reach its wait
    SetEvent(go);
    for (const auto& child : children) {
        EXPECT_TRUE(child->Wait(30000));
        EXPECT_EQ(0u, child->ExitCode());
    }
    CloseHandle(go);
    bool ok = false;
    const std::vector<BYTE> inFile = zt::Unprotect(root.ReadSecretFile(), &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(32u, inFile.size());
    const std::string expected = Hex(inFile.data(), inFile.size());
    for (const std::string& out : outputs) {
        FILE* f = std::fopen(out.c_str(), "rb");
        ASSERT_NE(nullptr, f) << out;
        char text[80] = {};
        std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        EXPECT_EQ(expected, text) << out;
    }
}

}  // namespace
