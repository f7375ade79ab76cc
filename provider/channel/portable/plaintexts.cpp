#include "plaintexts.h"

#include <cstring>

void PutPlaintextHeader(std::uint8_t* out, std::uint32_t word, std::uint32_t length)
{
    PutU32(out, word);
    PutU32(out + 4, length);
}

bool GetPlaintextHeader(std::span<const std::uint8_t> plaintext, PlaintextView* view)
{
    *view = PlaintextView{};
    if (plaintext.data() == nullptr || plaintext.size() < kPlaintextHeaderLength) {
        return false;
    }
    view->word = GetU32(plaintext.data());
    view->length = GetU32(plaintext.data() + 4);
    view->body = plaintext.data() + kPlaintextHeaderLength;
    view->available = plaintext.size() - kPlaintextHeaderLength;
    return true;
}

namespace {

constexpr std::uint64_t kMaxPlaintextLength = 0xFFFFFFFFu;

bool Encode(std::uint32_t word, std::span<const std::uint8_t> body, HeapBlock* out)
{
    HeapBlock block(body.size() + kPlaintextHeaderLength);
    if (!block) {
        return false;
    }
    PutPlaintextHeader(block.get(), word, static_cast<std::uint32_t>(body.size()));
    if (!body.empty()) {
        std::memcpy(block.get() + kPlaintextHeaderLength, body.data(), body.size());
    }
    *out = static_cast<HeapBlock&&>(block);
    return true;
}

}  // namespace

SecurityStatus EncodeRequest(std::uint32_t code, std::span<const std::uint8_t> payload, HeapBlock* out)
{
    if (std::uint64_t{payload.size()} + kPlaintextHeaderLength > kMaxPlaintextLength) {
        return NTE_INVALID_PARAMETER;
    }
    return Encode(code, payload, out) ? ZK_SUCCESS : NTE_NO_MEMORY;
}

RequestCheck DecodeRequest(std::span<const std::uint8_t> plaintext, PlaintextView* view)
{
    if (!GetPlaintextHeader(plaintext, view)) {
        return RequestCheck::TooShort;
    }
    return view->length == view->available ? RequestCheck::Ok : RequestCheck::BadLength;
}

bool EncodeReply(std::uint32_t status, std::span<const std::uint8_t> payload, HeapBlock* out)
{
    return std::uint64_t{payload.size()} + kPlaintextHeaderLength <= kMaxPlaintextLength &&
           Encode(status, payload, out);
}

bool DecodeReply(std::span<const std::uint8_t> plaintext, PlaintextView* view)
{
    return GetPlaintextHeader(plaintext, view) && view->length <= view->available;
}
