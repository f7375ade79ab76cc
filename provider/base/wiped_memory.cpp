// The platform's side of wiped_memory.h: the process heap, which the tests'
// interposer watches, and SecureZeroMemory.
#include "wiped_memory.h"

#include <windows.h>

void WipeBytes(void* p, std::size_t n)
{
    if (p != nullptr && n != 0) {
        SecureZeroMemory(p, n);
    }
}

void* HeapAllocBytes(std::size_t n)
{
    return HeapAlloc(GetProcessHeap(), 0, n);
}

void WipeAndHeapFree(void* p, std::size_t n)
{
    if (p != nullptr) {
        WipeBytes(p, n);
        HeapFree(GetProcessHeap(), 0, p);
    }
}
