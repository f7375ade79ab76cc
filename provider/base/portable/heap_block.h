// Heap blocks that are wiped over their full length before release (on
// Windows the process heap: see wiped_memory.h).
#pragma once

#include "resource_holder.h"
#include "wiped_memory.h"

#include <cstddef>
#include <cstdint>

// Owns one heap block; the destructor wipes and frees it.
class HeapBlock {
public:
    HeapBlock() = default;
    // A zero-length request still yields a distinct block, as HeapAlloc does.
    explicit HeapBlock(std::size_t n)
    {
        auto* p = static_cast<std::uint8_t*>(HeapAllocBytes(n));
        block_.Reset(SizedBlock{p, p != nullptr ? n : 0});
    }

    // Takes over a block the caller allocated from the same heap.
    void Adopt(std::uint8_t* p, std::size_t n) { block_.Reset(SizedBlock{p, p != nullptr ? n : 0}); }
    void Reset() { block_.Reset(); }
    // Hands the block to the caller, who then owns wiping and freeing it.
    std::uint8_t* Release() { return block_.Release().data; }

    std::uint8_t* get() const { return block_.get().data; }
    std::size_t size() const { return block_.get().size; }
    explicit operator bool() const { return static_cast<bool>(block_); }

private:
    UniqueResource<WipedHeapTraits> block_;
};
