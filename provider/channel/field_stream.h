// Incremental reading of length-prefixed fields: a decoder says where the
// next bytes of the current field go, and checks each field once it is
// whole. The same decoders serve a reader that fetches one field at a time
// and one that is handed whatever bytes have arrived.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

// The rest of the current field: `length` bytes still missing, to go to `at`.
// Length 0 once the decoder is complete.
struct FieldTarget {
    BYTE* at = nullptr;
    uint32_t length = 0;
};

// Hands `available` bytes to the decoder, field by field. Returns the bytes
// taken; `*refused` is set when a field failed its check (nothing more is
// taken then). Stops early once the decoder is complete.
template <typename Decoder>
uint32_t FeedFields(Decoder* decoder, const BYTE* bytes, uint32_t available, bool* refused)
{
    *refused = false;
    uint32_t taken = 0;
    while (taken < available && !decoder->Complete()) {
        const FieldTarget target = decoder->Next();
        const uint32_t n = target.length < available - taken ? target.length : available - taken;
        std::memcpy(target.at, bytes + taken, n);
        taken += n;
        if (!decoder->Advance(n)) {
            *refused = true;
            break;
        }
    }
    return taken;
}

// Reads a whole decoder's fields through `readField(void* buffer, uint32_t
// length)`, which fills the whole buffer or fails: one call per field.
template <typename Decoder, typename ReadField>
bool ReadAllFields(Decoder* decoder, ReadField&& readField)
{
    while (!decoder->Complete()) {
        const FieldTarget target = decoder->Next();
        if (!readField(target.at, target.length) || !decoder->Advance(target.length)) {
            return false;
        }
    }
    return true;
}
