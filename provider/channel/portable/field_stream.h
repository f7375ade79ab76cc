// Incremental reading of length-prefixed fields: a decoder says where the
// next bytes of the current field go, and checks each field once it is
// whole. The same decoders serve a reader that fetches one field at a time
// and one that is handed whatever bytes have arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

// The rest of the current field: `length` bytes still missing, to go to `at`.
// Length 0 once the decoder is complete.
struct FieldTarget {
    std::uint8_t* at = nullptr;
    std::uint32_t length = 0;
};

// Hands `bytes` to the decoder, field by field. Returns the bytes taken;
// `*refused` is set when a field failed its check (nothing more is taken
// then). Stops early once the decoder is complete.
template <typename Decoder>
std::uint32_t FeedFields(Decoder* decoder, std::span<const std::uint8_t> bytes, bool* refused)
{
    *refused = false;
    const auto available = static_cast<std::uint32_t>(bytes.size() < 0xFFFFFFFFu ? bytes.size() : 0xFFFFFFFFu);
    std::uint32_t taken = 0;
    while (taken < available && !decoder->Complete()) {
        const FieldTarget target = decoder->Next();
        const std::uint32_t n = target.length < available - taken ? target.length : available - taken;
        std::memcpy(target.at, bytes.data() + taken, n);
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
