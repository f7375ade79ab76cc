// wiped_memory.h on the C heap, for the native sanitizer build. The wipe is
// memset, which AddressSanitizer checks over every byte, kept by a barrier
// the optimizer cannot see through.
#include "wiped_memory.h"

#include <cstdlib>
#include <cstring>

void WipeBytes(void* p, std::size_t n)
{
    if (p != nullptr && n != 0) {
        std::memset(p, 0, n);
        __asm__ __volatile__("" : : "r"(p) : "memory");
    }
}

void* HeapAllocBytes(std::size_t n)
{
    // A distinct block for 0 too, as the process heap gives.
    return std::malloc(n != 0 ? n : 1);
}

void WipeAndHeapFree(void* p, std::size_t n)
{
    if (p != nullptr) {
        WipeBytes(p, n);
        std::free(p);
    }
}
