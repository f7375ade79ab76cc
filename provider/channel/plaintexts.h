// The two plaintexts an envelope carries. Both start with the same header:
//   request: code (u32), n (u32), payload (n bytes)
//   reply:   status word (u32), m (u32), payload (m bytes), ignored tail
#pragma once

#include "heap_block.h"
#include "protocol.h"

#include <windows.h>
#include <ncrypt.h>  // SECURITY_STATUS

#include <cstddef>
#include <cstdint>

// The header as it is on the wire; `body` and `available` describe the bytes
// after it, which may be more or fewer than `length` says.
struct PlaintextView {
    uint32_t word = 0;    // request code or status word
    uint32_t length = 0;  // n or m
    const BYTE* body = nullptr;
    size_t available = 0;
};

void PutPlaintextHeader(BYTE* out, uint32_t word, uint32_t length);
// False below kPlaintextHeaderLength bytes.
bool GetPlaintextHeader(const BYTE* plaintext, size_t length, PlaintextView* view);

// Request plaintext in a new block of n + 8 bytes. NTE_INVALID_PARAMETER if
// that does not fit in 32 bits, NTE_NO_MEMORY if it cannot be allocated.
SECURITY_STATUS EncodeRequest(uint32_t code, const BYTE* payload, uint32_t payloadLength, HeapBlock* out);

enum class RequestCheck {
    Ok,
    TooShort,      // under 8 bytes: not even a code
    BadLength,     // n is not exactly the bytes that follow
};
// `view` holds the code whenever there is one (not TooShort).
RequestCheck DecodeRequest(const BYTE* plaintext, size_t length, PlaintextView* view);

// Reply plaintext: status word, m and the payload, m = payloadLength, in a
// new block of m + 8 bytes. False if it cannot be allocated.
bool EncodeReply(uint32_t status, const BYTE* payload, uint32_t payloadLength, HeapBlock* out);

// True if the plaintext holds a header and at least the m bytes it
// announces (the sum formed without overflow); bytes after them are ignored.
// The status word is the caller's to judge.
bool DecodeReply(const BYTE* plaintext, size_t length, PlaintextView* view);
