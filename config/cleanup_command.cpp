#include "config_commands.h"
#include "provider_registration.h"

#include <cwchar>

namespace {

// Deletes <directory>\ZentravaKSP.dll, or schedules its deletion when it is
// still loaded somewhere.
void RemoveLibraryFrom(const wchar_t* directory)
{
    wchar_t path[MAX_PATH] = {};
    // mingw-w64's C99 swprintf reports truncation with the full length, not a
    // negative value; a truncated path would name another file.
    const int composed = swprintf(path, MAX_PATH, L"%ls\\%ls", directory, kProviderImage);
    if (composed < 0 || composed >= MAX_PATH) {
        wprintf(L"Failed to compose provider path\n");
        return;
    }

    if (DeleteFileW(path)) {
        wprintf(L"Provider binary removed: %ls\n", path);
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
        wprintf(L"Provider binary already removed: %ls\n", path);
    } else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        // Still loaded somewhere: let the system delete it at the next restart.
        if (MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            wprintf(L"Provider binary scheduled for deletion after reboot: %ls\n", path);
        } else {
            wprintf(L"MoveFileExW failed with error code %lu\n", GetLastError());
        }
    } else {
        wprintf(L"DeleteFileW failed with error code %lu\n", error);
    }
}

// A result of 0, or one that did not fit the buffer, is a failure.
bool Fits(UINT length)
{
    return length != 0 && length <= MAX_PATH - 1;
}

}  // namespace

// CNG's registration names only the file, so each process loads the copy in
// its own system directory: 64-bit ones System32, 32-bit ones SysWOW64 (file
// system redirection). Both copies go; a failure with one does not keep the
// other.
void CleanupCommand()
{
    wchar_t systemDirectory[MAX_PATH] = {};
    if (Fits(GetSystemDirectoryW(systemDirectory, MAX_PATH))) {
        RemoveLibraryFrom(systemDirectory);
    } else {
        wprintf(L"GetSystemDirectoryW failed with error code %lu\n", GetLastError());
    }

    // This tool is 64-bit, so GetSystemDirectoryW above was the real System32
    // and SysWOW64 has to be asked for by name.
    wchar_t wow64Directory[MAX_PATH] = {};
    const UINT wow64Length = GetSystemWow64DirectoryW(wow64Directory, MAX_PATH);
    if (Fits(wow64Length)) {
        RemoveLibraryFrom(wow64Directory);
    } else if (wow64Length != 0 || GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) {
        // (Not implemented: 32-bit Windows, which has no second copy.)
        wprintf(L"GetSystemWow64DirectoryW failed with error code %lu\n", GetLastError());
    }
}
