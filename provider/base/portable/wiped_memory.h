// Memory that held secrets is wiped before it goes back. The three routines
// below are the platform's: on Windows the process heap and SecureZeroMemory
// (wiped_memory.cpp beside the base library), in the native fuzzing and
// sanitizer build the C heap (fuzz/support/).
#pragma once

#include "resource_holder.h"

#include <cstddef>
#include <cstdint>

// Zeroes memory in a way the optimizer may not drop.
void WipeBytes(void* p, std::size_t n);
// A block of n bytes (a distinct one for 0 too), or null.
void* HeapAllocBytes(std::size_t n);
// Wipes the first n bytes of a block HeapAllocBytes made and frees it; null is ignored.
void WipeAndHeapFree(void* p, std::size_t n);

// A block and the bytes of it that are in use.
struct SizedBlock {
    std::uint8_t* data;
    std::size_t size;
};

// Heap blocks, wiped over their full length before they are freed.
struct WipedHeapTraits {
    using Type = SizedBlock;
    static Type Empty() { return SizedBlock{nullptr, 0}; }
    static bool IsEmpty(const Type& b) { return b.data == nullptr; }
    static void Release(const Type& b) { WipeAndHeapFree(b.data, b.size); }
};

// Memory the holder wipes at the end of its scope but does not free: a copy
// of secret bytes on the stack, for example.
struct WipeOnlyTraits {
    using Type = SizedBlock;
    static Type Empty() { return SizedBlock{nullptr, 0}; }
    static bool IsEmpty(const Type& b) { return b.data == nullptr; }
    static void Release(const Type& b) { WipeBytes(b.data, b.size); }
};
using ScopedWipe = UniqueResource<WipeOnlyTraits>;
