// Process-heap blocks that are wiped over their full length before release.
#pragma once

#include <windows.h>

#include <cstddef>

// Zeroes memory in a way the optimizer may not drop.
inline void WipeBytes(void* p, size_t n)
{
    if (p != nullptr && n != 0) {
        SecureZeroMemory(p, n);
    }
}

inline void* HeapAllocBytes(size_t n)
{
    return HeapAlloc(GetProcessHeap(), 0, n);
}

inline void WipeAndHeapFree(void* p, size_t n)
{
    if (p != nullptr) {
        WipeBytes(p, n);
        HeapFree(GetProcessHeap(), 0, p);
    }
}

// Owns one process-heap block; the destructor wipes and frees it.
class HeapBlock {
public:
    HeapBlock() = default;
    // A zero-length request still yields a distinct block, as HeapAlloc does.
    explicit HeapBlock(size_t n) : ptr_(static_cast<BYTE*>(HeapAllocBytes(n))), size_(ptr_ ? n : 0) {}
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    HeapBlock(HeapBlock&& other) noexcept : ptr_(other.ptr_), size_(other.size_)
    {
        other.ptr_ = nullptr;
        other.size_ = 0;
    }
    HeapBlock& operator=(HeapBlock&& other) noexcept
    {
        if (this != &other) {
            Reset();
            ptr_ = other.ptr_;
            size_ = other.size_;
            other.ptr_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    ~HeapBlock() { Reset(); }

    // Takes over a block the caller allocated from the process heap.
    void Adopt(BYTE* p, size_t n)
    {
        Reset();
        ptr_ = p;
        size_ = n;
    }
    void Reset()
    {
        WipeAndHeapFree(ptr_, size_);
        ptr_ = nullptr;
        size_ = 0;
    }
    // Hands the block to the caller, who then owns wiping and freeing it.
    BYTE* Release()
    {
        BYTE* p = ptr_;
        ptr_ = nullptr;
        size_ = 0;
        return p;
    }

    BYTE* get() const { return ptr_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    BYTE* ptr_ = nullptr;
    size_t size_ = 0;
};
