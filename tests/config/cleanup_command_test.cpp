// -cleanup's decisions with the file functions stood in for, so that every
// failure path runs without touching the system directory.
#include "config_run.h"
#include "import_patch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct FileDouble {
    UINT dirResult = 0;  // 0: use dirText's length
    DWORD dirError = 0;
    std::wstring dirText = L"C:\\windows\\system32";
    DWORD deleteError = 0;  // 0: success
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

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size)
{
    if (g_files->dirError != 0) {
        SetLastError(g_files->dirError);
        return 0;
    }
    const std::wstring& d = g_files->dirText;
    if (d.size() + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return static_cast<UINT>(d.size() + 1);
    }
    wcscpy(buffer, d.c_str());
    return static_cast<UINT>(d.size());
}

BOOL WINAPI FakeDeleteFileW(LPCWSTR path)
{
    g_files->deleted.push_back(path);
    SetLastError(g_files->deleteError);
    return g_files->deleteError == 0;
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
        dir = std::make_unique<zt::ImportPatch>(self, "kernel32.dll", "GetSystemDirectoryW",
                                                reinterpret_cast<void*>(&FakeGetSystemDirectoryW));
        del = std::make_unique<zt::ImportPatch>(self, "kernel32.dll", "DeleteFileW",
                                                reinterpret_cast<void*>(&FakeDeleteFileW));
        move = std::make_unique<zt::ImportPatch>(self, "kernel32.dll", "MoveFileExW",
                                                 reinterpret_cast<void*>(&FakeMoveFileExW));
        ASSERT_TRUE(dir->active() && del->active() && move->active());
    }
    void TearDown() override
    {
        move.reset();
        del.reset();
        dir.reset();
        g_files = nullptr;
    }

    FileDouble files;
    std::unique_ptr<zt::ImportPatch> dir, del, move;
};

const std::wstring kPath = L"C:\\windows\\system32\\ZentravaKSP.dll";

TEST_F(CleanupCommand, DeletesTheLibraryInTheSystemDirectory)
{
    const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("Provider binary removed: C:\\windows\\system32\\ZentravaKSP.dll\r\n", run.out);
    EXPECT_EQ(std::vector<std::wstring>{kPath}, files.deleted);
    EXPECT_TRUE(files.moved.empty());
}

TEST_F(CleanupCommand, AccessDeniedOrSharingViolationSchedulesDeletionAtRestart)
{
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_SHARING_VIOLATION}}) {
        files.deleteError = error;
        files.moved.clear();
        const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
        EXPECT_EQ(0, run.exitCode);
        EXPECT_EQ("Provider binary scheduled for deletion after reboot: C:\\windows\\system32\\ZentravaKSP.dll\r\n",
                  run.out);
        ASSERT_EQ(1u, files.moved.size());
        EXPECT_EQ(kPath, files.moved[0].from);
        EXPECT_TRUE(files.moved[0].toNull);
        EXPECT_EQ(static_cast<DWORD>(MOVEFILE_DELAY_UNTIL_REBOOT), files.moved[0].flags);
    }
}

TEST_F(CleanupCommand, FailedSchedulingReportsItsError)
{
    files.deleteError = ERROR_SHARING_VIOLATION;
    files.moveError = ERROR_INVALID_PARAMETER;
    const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("MoveFileExW failed with error code 87\r\n", run.out);
}

TEST_F(CleanupCommand, OtherDeleteErrorsAreReportedWithoutScheduling)
{
    files.deleteError = ERROR_PATH_NOT_FOUND;
    const zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("DeleteFileW failed with error code 3\r\n", run.out);
    EXPECT_TRUE(files.moved.empty());
}

TEST_F(CleanupCommand, MissingSystemDirectoryStopsBeforeDeleting)
{
    files.dirError = ERROR_ACCESS_DENIED;
    zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("GetSystemDirectoryW failed with error code 5\r\n", run.out);

    // A directory that does not fit the 260-unit buffer counts as failure too.
    files.dirError = 0;
    files.dirText = L"C:\\" + std::wstring(257, L'd');
    run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ("GetSystemDirectoryW failed with error code 122\r\n", run.out);
    EXPECT_TRUE(files.deleted.empty());
}

TEST_F(CleanupCommand, PathMustFitWithoutTruncation)
{
    // 243 + '\' + 15 = 259 units: fits with its terminator.
    files.dirText = L"C:\\" + std::wstring(240, L'd');
    zt::ConfigRun run = zt::RunConfig({L"-cleanup"});
    ASSERT_EQ(1u, files.deleted.size());
    EXPECT_EQ(files.dirText + L"\\ZentravaKSP.dll", files.deleted[0]);
    EXPECT_EQ(0, run.exitCode);

    // One unit more would cut the name short: nothing is deleted.
    files.deleted.clear();
    files.dirText += L'd';
    run = zt::RunConfig({L"-cleanup"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ("Failed to compose provider path\r\n", run.out);
    EXPECT_TRUE(files.deleted.empty());
}

}  // namespace
