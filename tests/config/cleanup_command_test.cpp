// -cleanup's decisions with the directory and file functions stood in for, so
// that every failure path of both copies (System32 and SysWOW64) runs
// without touching the system folders.
#include "config_run.h"
#include "import_patch.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct DirectoryDouble {
    std::wstring text;
    DWORD error = 0;  // non-zero: the query fails with it
};

struct FileDouble {
    DirectoryDouble system{L"C:\\windows\\system32"};
    DirectoryDouble wow64{L"C:\\windows\\syswow64"};
    std::map<std::wstring, DWORD> deleteErrors;  // by path; absent: the deletion succeeds
    DWORD moveError = 0;
    std::vector<std::wstring> deleted;
    struct Move {
        std::wstring from;
        bool toNull;
        DWORD flags;
    };
    std::vector<Move> moved;
};

FileDouble* g_files = nullptr;

UINT AnswerDirectory(const DirectoryDouble& d, LPWSTR buffer, UINT size)
{
    if (d.error != 0) {
        SetLastError(d.error);
        return 0;
    }
    if (d.text.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return static_cast<UINT>(d.text.size() + 1);
    }
    wcscpy(buffer, d.text.c_str());
    return static_cast<UINT>(d.text.size());
}

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    return AnswerDirectory(g_files->system, buffer, size);
}

UINT WINAPI FakeGetSystemWow64DirectoryW(LPWSTR buffer, UINT size)
{
    return AnswerDirectory(g_files->wow64, buffer, size);
}

BOOL WINAPI FakeDeleteFileW(LPCWSTR path)
{
    g_files->deleted.push_back(path);
    const auto found = g_files->deleteErrors.find(path);
    const DWORD error = found == g_files->deleteErrors.end() ? 0 : found->second;
    SetLastError(error);
    return error == 0;
}

BOOL WINAPI FakeMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    g_files->moved.push_back({from, to == nullptr, flags});
    SetLastError(g_files->moveError);
    return g_files->moveError == 0;
}

class CleanupCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_files = &files;
        HMODULE self = GetModuleHandleW(nullptr);
        const struct {
            const char* name;
            void* fake;
        } fakes[] = {
            {"GetSystemDirectoryW", reinterpret_cast<void*>(&FakeGetSystemDirectoryW)},
            {"GetSystemWow64DirectoryW", reinterpret_cast<void*>(&FakeGetSystemWow64DirectoryW)},
            {"DeleteFileW", reinterpret_cast<void*>(&FakeDeleteFileW)},
            {"MoveFileExW", reinterpret_cast<void*>(&FakeMoveFileExW)},
        };
        for (const auto& f : fakes) {
            patches.push_back(std::make_unique<zt::ImportPatch>(self, "kernel32.dll", f.name, f.fake));
            ASSERT_TRUE(patches.back()->active()) << f.name;
        }
    }
    void TearDown() override
    {
        while (!patches.empty()) {
            patches.pop_back();  // in reverse order
        }
        g_files = nullptr;
    }

    FileDouble files;
    std::vector<std::unique_ptr<zt::ImportPatch>> patches;
};

const std::wstring kSystemPath = L"C:\\windows\\system32\\ZentravaKSP.dll";
const std::wstring kWow64Path = L"C:\\windows\\syswow64\\ZentravaKSP.dll";

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

std::string Removed(const std::wstring& path)
{
    return "Provider binary removed: " + Narrow(path) + "\r\n";
}

TEST_F(CleanupCommand, DeletesTheCopiesOfBothSystemDirectories)
{
    const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(Removed(kSystemPath) + Removed(kWow64Path), run.out);
    EXPECT_EQ((std::vector<std::wstring>{kSystemPath, kWow64Path}), files.deleted);
    EXPECT_TRUE(files.moved.empty());
}

// Each copy gets its own outcome and line; the other copy is removed regardless.
TEST_F(CleanupCommand, EachCopyIsReportedByItsOwnOutcome)
{
    const struct {
        DWORD deleteError;
        DWORD moveError;
        const char* line;  // %P: the copy's path
        bool scheduled;
    } outcomes[] = {
        {ERROR_FILE_NOT_FOUND, 0, "Provider binary already removed: %P", false},
        {ERROR_ACCESS_DENIED, 0, "Provider binary scheduled for deletion after reboot: %P", true},
        {ERROR_SHARING_VIOLATION, 0, "Provider binary scheduled for deletion after reboot: %P", true},
        {ERROR_SHARING_VIOLATION, ERROR_INVALID_PARAMETER, "MoveFileExW failed with error code 87", true},
        {ERROR_PATH_NOT_FOUND, 0, "DeleteFileW failed with error code 3", false},
    };
    for (const std::wstring& path : {kSystemPath, kWow64Path}) {
        const std::wstring& other = path == kSystemPath ? kWow64Path : kSystemPath;
        for (const auto& o : outcomes) {
            files.deleteErrors = {{path, o.deleteError}};
            files.moveError = o.moveError;
            files.deleted.clear();
            files.moved.clear();
            std::string line = o.line;
            if (const size_t at = line.find("%P"); at != std::string::npos) {
                line.replace(at, 2, Narrow(path));
            }
            line += "\r\n";
            const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
            SCOPED_TRACE(Narrow(path) + ": " + o.line);
            EXPECT_EQ(0, run.exitCode);
            EXPECT_EQ(path == kSystemPath ? line + Removed(other) : Removed(other) + line, run.out);
            EXPECT_EQ(2u, files.deleted.size());
            if (o.scheduled) {
                ASSERT_EQ(1u, files.moved.size());
                EXPECT_EQ(path, files.moved[0].from);
                EXPECT_TRUE(files.moved[0].toNull);
                EXPECT_EQ(static_cast<DWORD>(MOVEFILE_DELAY_UNTIL_REBOOT), files.moved[0].flags);
            } else {
                EXPECT_TRUE(files.moved.empty());
            }
        }
    }
}

TEST_F(CleanupCommand, ThirtyTwoBitWindowsHasOnlyTheOneCopy)
{
    files.wow64.error = ERROR_CALL_NOT_IMPLEMENTED;
    const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(Removed(kSystemPath), run.out);
    EXPECT_EQ(std::vector<std::wstring>{kSystemPath}, files.deleted);
}

// A directory that cannot be had, or does not fit the 260-unit buffer, is
// reported; the other copy is still removed.
TEST_F(CleanupCommand, AFailedDirectoryQueryStopsOnlyItsOwnCopy)
{
    const std::wstring tooLong = L"C:\\" + std::wstring(257, L'd');
    const struct {
        DirectoryDouble FileDouble::*directory;
        DirectoryDouble answer;
        std::string out;
        std::wstring left;
    } cases[] = {
        {&FileDouble::system, {L"", ERROR_ACCESS_DENIED},
         "GetSystemDirectoryW failed with error code 5\r\n" + Removed(kWow64Path), kWow64Path},
        {&FileDouble::system, {tooLong, 0},
         "GetSystemDirectoryW failed with error code 122\r\n" + Removed(kWow64Path), kWow64Path},
        {&FileDouble::wow64, {L"", ERROR_ACCESS_DENIED},
         Removed(kSystemPath) + "GetSystemWow64DirectoryW failed with error code 5\r\n", kSystemPath},
        {&FileDouble::wow64, {tooLong, 0},
         Removed(kSystemPath) + "GetSystemWow64DirectoryW failed with error code 122\r\n", kSystemPath},
    };
    for (const auto& c : cases) {
        files = FileDouble{};
        files.*c.directory = c.answer;
        const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
        EXPECT_EQ(0, run.exitCode);
        EXPECT_EQ(c.out, run.out);
        EXPECT_EQ(std::vector<std::wstring>{c.left}, files.deleted);
    }
}

TEST_F(CleanupCommand, PathMustFitWithoutTruncation)
{
    for (DirectoryDouble FileDouble::*directory : {&FileDouble::system, &FileDouble::wow64}) {
        // 243 + '\' + 15 = 259 units: fits with its terminator.
        files = FileDouble{};
        (files.*directory).text = L"C:\\" + std::wstring(240, L'd');
        zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
        ASSERT_EQ(2u, files.deleted.size());
        EXPECT_EQ((files.*directory).text + L"\\ZentravaKSP.dll",
                  files.deleted[directory == &FileDouble::system ? 0 : 1]);
        EXPECT_EQ(0, run.exitCode);

        // One unit more would cut the name short: that copy is not deleted.
        files.deleted.clear();
        (files.*directory).text += L'd';
        run = zt::RunConfig({L"-cleanup"});
        EXPECT_EQ(0, run.exitCode);
        EXPECT_NE(std::string::npos, run.out.find("Failed to compose provider path\r\n")) << run.out;
        EXPECT_EQ(1u, files.deleted.size());
    }
}

}  // namespace
