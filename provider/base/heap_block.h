// Process-heap blocks that are wiped over their full length before release.
#pragma once

#include "unique_resource.h"

#include <windows.h>

#include <cstddef>

inline void* HeapAllocBytes(size_t n)
{
    return HeapAlloc(GetProcessHeap(), 0, n);
}

inline void WipeAndHeapFree(void* p, size_t n)
{
    if (p != nullptr) {
        WipedHeapTraits::Release(SizedBlock{static_cast<BYTE*>(p), n});
    }
}

// Owns one process-heap block; the destructor wipes and frees it.
class HeapBlock {
public:
    HeapBlock() = default;
    // A zero-length request still yields a distinct block, as HeapAlloc does.
    explicit HeapBlock(size_t n)
    {
        BYTE* p = static_cast<BYTE*>(HeapAllocBytes(n));
        block_.Reset(SizedBlock{p, p != nullptr ? n : 0});
    }

    // Takes over a block the caller allocated from the process heap.
    void Adopt(BYTE* p, size_t n) { block_.Reset(SizedBlock{p, p != nullptr ? n : 0}); }
    void Reset() { block_.Reset(); }
    // Hands the block to the caller, who then owns wiping and freeing it.
    BYTE* Release() { return block_.Release().data; }

    BYTE* get() const { return block_.get().data; }
    size_t size() const { return block_.get().size; }
    explicit operator bool() const { return static_cast<bool>(block_); }

private:
    UniqueResource<WipedHeapTraits> block_;
};
