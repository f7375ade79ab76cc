#include "plaintexts.h"

#include "ksp_status.h"

#include <cstring>

void PutPlaintextHeader(BYTE* out, uint32_t word, uint32_t length)
{
    PutU32(out, word);
    PutU32(out + 4, length);
}

bool GetPlaintextHeader(const BYTE* plaintext, size_t length, PlaintextView* view)
{
    *view = PlaintextView{};
    if (plaintext == nullptr || length < kPlaintextHeaderLength) {
        return false;
    }
    view->word = GetU32(plaintext);
    view->length = GetU32(plaintext + 4);
    view->body = plaintext + kPlaintextHeaderLength;
    view->available = length - kPlaintextHeaderLength;
    return true;
}

namespace {

bool Encode(uint32_t word, const BYTE* body, uint32_t bodyLength, HeapBlock* out)
{
    HeapBlock block(static_cast<size_t>(bodyLength) + kPlaintextHeaderLength);
    if (!block) {
        return false;
    }
    PutPlaintextHeader(block.get(), word, bodyLength);
    if (bodyLength != 0) {
        std::memcpy(block.get() + kPlaintextHeaderLength, body, bodyLength);
    }
    *out = static_cast<HeapBlock&&>(block);
    return true;
}

}  // namespace

SECURITY_STATUS EncodeRequest(uint32_t code, const BYTE* payload, uint32_t payloadLength, HeapBlock* out)
{
    if (static_cast<uint64_t>(payloadLength) + kPlaintextHeaderLength > 0xFFFFFFFFull) {
        return NTE_INVALID_PARAMETER;
    }
    return Encode(code, payload, payloadLength, out) ? ZK_SUCCESS : NTE_NO_MEMORY;
}

RequestCheck DecodeRequest(const BYTE* plaintext, size_t length, PlaintextView* view)
{
    if (!GetPlaintextHeader(plaintext, length, view)) {
        return RequestCheck::TooShort;
    }
    return view->length == view->available ? RequestCheck::Ok : RequestCheck::BadLength;
}

bool EncodeReply(uint32_t status, const BYTE* payload, uint32_t payloadLength, HeapBlock* out)
{
    return Encode(status, payload, payloadLength, out);
}

bool DecodeReply(const BYTE* plaintext, size_t length, PlaintextView* view)
{
    return GetPlaintextHeader(plaintext, length, view) && view->length <= view->available;
}
