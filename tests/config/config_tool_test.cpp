// The built ZentravaKSPConfig.exe started as a process under Wine: exact
// output bytes, exit statuses, the library file in the system directory,
// and the embedded manifest and version resource.
#include "tool_process.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

const std::string kUsage = "Usage: ZentravaKSPconfig -enum | -register | -unregister | -cleanup\r\n";

// The two copies -cleanup removes: System32's for 64-bit processes, SysWOW64's
// for 32-bit ones (this test is 64-bit, so neither is redirected).
std::wstring LibraryPath()
{
    wchar_t dir[MAX_PATH] = {};
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\ZentravaKSP.dll";
}

std::wstring Wow64LibraryPath()
{
    wchar_t dir[MAX_PATH] = {};
    GetSystemWow64DirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\ZentravaKSP.dll";
}

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A dummy file under the library's name; removed again whatever happens.
class DummyLibrary {
public:
    explicit DummyLibrary(std::wstring path) : path_(std::move(path))
    {
        HANDLE h = CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(h, "not a library", 13, &written, nullptr);
            CloseHandle(h);
        }
    }
    ~DummyLibrary()
    {
        if (held_ != INVALID_HANDLE_VALUE) {
            CloseHandle(held_);
        }
        DeleteFileW(path_.c_str());
    }
    DummyLibrary(const DummyLibrary&) = delete;
    DummyLibrary& operator=(const DummyLibrary&) = delete;

    // Opens the file without any sharing, as a process using it might.
    bool Hold()
    {
        held_ = CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return held_ != INVALID_HANDLE_VALUE;
    }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
};

const wchar_t kSessionManager[] = L"System\\CurrentControlSet\\Control\\Session Manager";

// Pending-deletion entries (REG_MULTI_SZ pairs) as one string with '|' for NULs.
std::wstring PendingRenames()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return L"";
    }
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring value;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
        value.resize(bytes / sizeof(wchar_t));
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                         &bytes);
        for (auto& c : value) {
            if (c == L'\0') {
                c = L'|';
            }
        }
    }
    RegCloseKey(key);
    return value;
}

void ForgetPendingRenames()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"PendingFileRenameOperations");
        RegCloseKey(key);
    }
}

TEST(ConfigTool, NoArgumentPrintsOnlyTheUsage)
{
    const zt::ToolRun run = zt::RunTool(L"");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(kUsage, run.out);
}

TEST(ConfigTool, UnknownWordIsQuotedThenUsage)
{
    const zt::ToolRun run = zt::RunTool(L"-help");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ("Unrecognized command \"-help\"\r\n" + kUsage, run.out);
}

TEST(ConfigTool, RegisterIsAcceptedInAnyCase)
{
    // Wine's registration functions are stubs that report success.
    for (const wchar_t* word : {L"-REGISTER", L"-Register"}) {
        const zt::ToolRun run = zt::RunTool(word);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(0u, run.exitCode) << Narrow(word);
        EXPECT_EQ("", run.out) << Narrow(word);
    }
}

TEST(ConfigTool, CleanupDeletesBothPresentCopies)
{
    ASSERT_NE(LibraryPath(), Wow64LibraryPath());
    DummyLibrary system(LibraryPath());
    DummyLibrary wow64(Wow64LibraryPath());
    ASSERT_TRUE(Exists(system.path()) && Exists(wow64.path()));
    const zt::ToolRun run = zt::RunTool(L"-cleanup");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("Provider binary removed: " + Narrow(system.path()) + "\r\nProvider binary removed: " +
                  Narrow(wow64.path()) + "\r\n",
              run.out);
    EXPECT_FALSE(Exists(system.path()));
    EXPECT_FALSE(Exists(wow64.path()));
}

TEST(ConfigTool, CleanupOfAbsentCopies)
{
    ASSERT_FALSE(Exists(LibraryPath()));
    ASSERT_FALSE(Exists(Wow64LibraryPath()));
    const zt::ToolRun run = zt::RunTool(L"-CLEANUP");
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ("Provider binary already removed: " + Narrow(LibraryPath()) + "\r\nProvider binary already removed: " +
                  Narrow(Wow64LibraryPath()) + "\r\n",
              run.out);
}

// The copy in use is kept for the next restart; the other one goes now.
TEST(ConfigTool, CleanupOfACopyInUseSchedulesItsDeletion)
{
    for (const bool holdSystem : {true, false}) {
        ForgetPendingRenames();
        {
            DummyLibrary system(LibraryPath());
            DummyLibrary wow64(Wow64LibraryPath());
            DummyLibrary& held = holdSystem ? system : wow64;
            const DummyLibrary& other = holdSystem ? wow64 : system;
            ASSERT_TRUE(held.Hold());
            const zt::ToolRun run = zt::RunTool(L"-cleanup");
            EXPECT_EQ(0u, run.exitCode);
            const std::string scheduled =
                "Provider binary scheduled for deletion after reboot: " + Narrow(held.path()) + "\r\n";
            const std::string removed = "Provider binary removed: " + Narrow(other.path()) + "\r\n";
            EXPECT_EQ(holdSystem ? scheduled + removed : removed + scheduled, run.out);
            EXPECT_TRUE(Exists(held.path()));
            EXPECT_FALSE(Exists(other.path()));
            // The deletion is recorded for the next restart: the path, no new name.
            EXPECT_EQ(L"\\??\\" + held.path() + L"||", PendingRenames().substr(0, held.path().size() + 6));
        }
        ForgetPendingRenames();
    }
}

TEST(ConfigTool, ManifestRunsAsInvokerWithoutUiAccess)
{
    HMODULE image = LoadLibraryExW(zt::ToolPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, image);
    HRSRC res = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(nullptr, res);
    const auto* text = static_cast<const char*>(LockResource(LoadResource(image, res)));
    ASSERT_NE(nullptr, text);
    const std::string manifest(text, SizeofResource(image, res));
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
        << manifest;

    HRSRC version = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));  // RT_VERSION
    ASSERT_NE(nullptr, version);
    const auto* block = static_cast<const BYTE*>(LockResource(LoadResource(image, version)));
    const std::string bytes(reinterpret_cast<const char*>(block), SizeofResource(image, version));
    const std::wstring wanted = L"ZentravaKSPConfig.exe";
    const std::string wantedBytes(reinterpret_cast<const char*>(wanted.data()), wanted.size() * sizeof(wchar_t));
    EXPECT_NE(std::string::npos, bytes.find(wantedBytes));
    FreeLibrary(image);
}

}  // namespace
