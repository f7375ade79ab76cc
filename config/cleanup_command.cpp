#include "config_commands.h"
#include "provider_registration.h"

#include <cwchar>

void CleanupCommand()
{
    wchar_t systemDirectory[MAX_PATH] = {};
    wchar_t path[MAX_PATH] = {};

    const UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length > MAX_PATH - 1) {
        wprintf(L"GetSystemDirectoryW failed with error code %lu\n", GetLastError());
        return;
    }

    // mingw-w64's C99 swprintf reports truncation with the full length, not a
    // negative value; a truncated path would name another file.
    const int composed = swprintf(path, MAX_PATH, L"%ls\\%ls", systemDirectory, kProviderImage);
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
