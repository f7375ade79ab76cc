// The tool's output files: a write that fails part way keeps what the file
// held before, and no temporary file stays behind.
#include "file_io.h"
#include "import_patch.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A full disk: the file opens, the write fails.
BOOL WINAPI FailingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    if (written != nullptr) {
        *written = 0;
    }
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::vector<std::wstring> FilesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.push_back(found.cFileName);
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    return names;
}

TEST(OutputFile, FailedWriteKeepsTheOldContent)
{
    zt::TempFolder dir;
    const std::wstring path = dir.File(L"out.sig");
    ASSERT_TRUE(zt::WriteFileBytes(path, "the signature made yesterday"));
    const std::string replacement(0x10000, 'n');
    bool written = true;
    {
        zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "WriteFile",
                              reinterpret_cast<void*>(&FailingWriteFile));
        ASSERT_TRUE(patch.active());
        written = zkt::WriteWholeFile(path, replacement.data(), replacement.size());
    }
    EXPECT_FALSE(written);
    std::string content;
    ASSERT_TRUE(zt::ReadFileBytes(path, content));
    EXPECT_TRUE(content == "the signature made yesterday") << content.size() << " bytes now";
    EXPECT_EQ(std::vector<std::wstring>{L"out.sig"}, FilesIn(dir.path()));
}

TEST(OutputFile, SuccessfulWriteReplacesTheWholeFile)
{
    zt::TempFolder dir;
    const std::wstring path = dir.File(L"out.bin");
    ASSERT_TRUE(zt::WriteFileBytes(path, std::string(5000, 'o')));
    ASSERT_TRUE(zkt::WriteWholeFile(path, "new", 3));
    std::string content;
    ASSERT_TRUE(zt::ReadFileBytes(path, content));
    EXPECT_EQ("new", content);
    ASSERT_TRUE(zkt::WriteWholeFile(dir.File(L"fresh.bin"), "", 0));
    ASSERT_TRUE(zt::ReadFileBytes(dir.File(L"fresh.bin"), content));
    EXPECT_EQ("", content);
    EXPECT_EQ(2u, FilesIn(dir.path()).size());
}

}  // namespace
