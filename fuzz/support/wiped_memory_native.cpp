// wiped_memory.h on the C heap, for the native sanitizer build. The wipe is
// a plain volatile loop so that AddressSanitizer checks every byte of it.
#include "wiped_memory.h"

#include <cstdlib>

void WipeBytes(void* p, std::size_t n)
{
    auto* bytes = static_cast<volatile std::uint8_t*>(p);
    for (std::size_t i = 0; p != nullptr && i < n; ++i) {
        bytes[i] = 0;
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
