/* Loads ZentravaKSP.dll by name from this process's system directory, as
 * CNG's router does, and prints the file it got, that image's machine type
 * and whether it exports GetKeyStorageInterface. Built for both
 * architectures by the MSI suite; a 32-bit copy runs under WoW64. */
#include <windows.h>
#include <stdio.h>

int main(void)
{
    HMODULE module = LoadLibraryExW(L"ZentravaKSP.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == NULL) {
        printf("LoadLibraryExW failed with %lu\n", GetLastError());
        return 1;
    }
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(module, path, MAX_PATH);
    const IMAGE_DOS_HEADER* dos = (const IMAGE_DOS_HEADER*)module;
    const IMAGE_NT_HEADERS* nt = (const IMAGE_NT_HEADERS*)((const BYTE*)module + dos->e_lfanew);
    printf("%ls 0x%04x %s\n", path, nt->FileHeader.Machine,
           GetProcAddress(module, "GetKeyStorageInterface") != NULL ? "GetKeyStorageInterface" : "no-export");
    return 0;
}
