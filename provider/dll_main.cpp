#include "shared_rsa.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved)
{
    // On FreeLibrary (reserved == NULL) the shared RSA handle is closed. At
    // process exit other DLLs may already be gone, so calling into bcrypt then
    // is unsafe; the system reclaims the handle with the process.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        CloseSharedRsaAlgorithm();
    }
    return TRUE;
}
