// Slots whose operations have not been built yet answer NTE_NOT_SUPPORTED.
// Each definition here is removed when its operation lands.
#include "entry_points.h"
#include "ksp_status.h"

SECURITY_STATUS WINAPI OpenKey(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE*, LPCWSTR, DWORD, DWORD) { return NTE_NOT_SUPPORTED; }
SECURITY_STATUS WINAPI SignHash(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, VOID*, PBYTE, DWORD, PBYTE, DWORD, DWORD*, DWORD) { return NTE_NOT_SUPPORTED; }
SECURITY_STATUS WINAPI Decrypt(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE, PBYTE, DWORD, VOID*, PBYTE, DWORD, DWORD*, DWORD) { return NTE_NOT_SUPPORTED; }
