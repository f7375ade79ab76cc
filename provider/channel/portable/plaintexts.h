// The two plaintexts an envelope carries. Both start with the same header:
//   request: code (u32), n (u32), payload (n bytes)
//   reply:   status word (u32), m (u32), payload (m bytes), ignored tail
#pragma once

#include "heap_block.h"
#include "protocol.h"
#include "status_codes.h"

#include <cstddef>
#include <cstdint>
#include <span>

// The header as it is on the wire; `body` and `available` describe the bytes
// after it, which may be more or fewer than `length` says.
struct PlaintextView {
    std::uint32_t word = 0;    // request code or status word
    std::uint32_t length = 0;  // n or m
    const std::uint8_t* body = nullptr;
    std::size_t available = 0;

    // The `length` bytes the header announces; only after a decode that said so.
    std::span<const std::uint8_t> payload() const { return {body, length}; }
};

void PutPlaintextHeader(std::uint8_t* out, std::uint32_t word, std::uint32_t length);
// False below kPlaintextHeaderLength bytes.
bool GetPlaintextHeader(std::span<const std::uint8_t> plaintext, PlaintextView* view);

// Request plaintext in a new block of n + 8 bytes. NTE_INVALID_PARAMETER if
// that does not fit in 32 bits, NTE_NO_MEMORY if it cannot be allocated.
SecurityStatus EncodeRequest(std::uint32_t code, std::span<const std::uint8_t> payload, HeapBlock* out);

enum class RequestCheck {
    Ok,
    TooShort,      // under 8 bytes: not even a code
    BadLength,     // n is not exactly the bytes that follow
};
// `view` holds the code whenever there is one (not TooShort).
RequestCheck DecodeRequest(std::span<const std::uint8_t> plaintext, PlaintextView* view);

// Reply plaintext: status word, m and the payload, m = payload's length, in
// a new block of m + 8 bytes. False if it does not fit in 32 bits or cannot
// be allocated.
bool EncodeReply(std::uint32_t status, std::span<const std::uint8_t> payload, HeapBlock* out);

// True if the plaintext holds a header and at least the m bytes it
// announces (the sum formed without overflow); bytes after them are ignored.
// The status word is the caller's to judge.
bool DecodeReply(std::span<const std::uint8_t> plaintext, PlaintextView* view);
