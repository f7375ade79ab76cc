#include "entry_points.h"

SECURITY_STATUS WINAPI FreeBuffer(PVOID pvInput)
{
    if (pvInput != nullptr) {
        HeapFree(GetProcessHeap(), 0, pvInput);  // never reported: the caller cannot act on it
    }
    return 0;
}
