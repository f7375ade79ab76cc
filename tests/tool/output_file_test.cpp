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

BOOL WINAPI FailingFlushFileBuffers(HANDLE)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

BOOL WINAPI FailingMoveFileExW(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A write, flush or rename that fails: the old content stays, and the
// temporary file is gone.
TEST(OutputFile, FailedWriteKeepsTheOldContent)
{
    const struct {
        const char* dll;
        const char* function;
        void* failing;
    } failures[] = {{"kernel32.dll", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile)},
                    {"kernel32.dll", "FlushFileBuffers", reinterpret_cast<void*>(&FailingFlushFileBuffers)},
                    {"kernel32.dll", "MoveFileExW", reinterpret_cast<void*>(&FailingMoveFileExW)}};
    for (const auto& f : failures) {
        SCOPED_TRACE(f.function);
        zt::TempFolder dir;
        const std::wstring path = dir.File(L"out.sig");
        ASSERT_TRUE(zt::WriteFileBytes(path, "the signature made yesterday"));
        const std::string replacement(0x10000, 'n');
        bool written = true;
        {
            zt::ImportPatch patch(GetModuleHandleW(nullptr), f.dll, f.function, f.failing);
            ASSERT_TRUE(patch.active());
            written = zkt::WriteWholeFile(path, replacement.data(), replacement.size());
        }
        EXPECT_FALSE(written);
        std::string content;
        ASSERT_TRUE(zt::ReadFileBytes(path, content));
        EXPECT_TRUE(content == "the signature made yesterday") << content.size() << " bytes now";
        EXPECT_EQ(std::vector<std::wstring>{L"out.sig"}, FilesIn(dir.path()));
    }
}

// Someone who may write in the output's folder plants a link to a file of
// theirs at the name the tool is about to open (here: at the first name it
// opens, whatever it is): the plaintext must never reach that file.
std::wstring g_plantIn;
std::wstring g_plantTo;
decltype(&CreateFileW) g_realCreateFileW = nullptr;

HANDLE WINAPI PlantingCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD how,
                                  DWORD flags, HANDLE tmpl)
{
    const std::wstring name(path);
    if (!g_plantTo.empty() && name.rfind(g_plantIn, 0) == 0) {
        DeleteFileW(path);  // what the tool made there itself, if anything
        CreateHardLinkW(path, g_plantTo.c_str(), nullptr);
        g_plantTo.clear();
    }
    return g_realCreateFileW(path, access, share, sa, how, flags, tmpl);
}

TEST(OutputFile, LinkPlantedAtTheTemporaryNameReceivesNothing)
{
    zt::TempFolder dir;
    zt::TempFolder elsewhere;
    const std::wstring theirs = elsewhere.File(L"theirs.txt");
    ASSERT_TRUE(zt::WriteFileBytes(theirs, "their file"));
    const std::wstring path = dir.File(L"plain.txt");
    const std::string secret = "the decrypted plaintext";
    bool written = false;
    {
        zt::ImportPatch patch(GetModuleHandleW(nullptr), "kernel32.dll", "CreateFileW",
                              reinterpret_cast<void*>(&PlantingCreateFileW));
        ASSERT_TRUE(patch.active());
        g_realCreateFileW = patch.original_as<decltype(&CreateFileW)>();
        g_plantIn = dir.path() + L"\\";
        g_plantTo = theirs;
        written = zkt::WriteWholeFile(path, secret.data(), secret.size());
        ASSERT_TRUE(g_plantTo.empty()) << "nothing was planted";
    }
    std::string content;
    ASSERT_TRUE(zt::ReadFileBytes(theirs, content));
    EXPECT_EQ("their file", content);
    EXPECT_TRUE(written);
    ASSERT_TRUE(zt::ReadFileBytes(path, content));
    EXPECT_EQ(secret, content);
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
