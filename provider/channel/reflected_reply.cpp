#include "reflected_reply.h"

#include "session_keys.h"

namespace {

// Lengths travel in the clear; only the bytes are compared in constant time.
bool SameBytes(const BYTE* a, uint32_t aLength, const BYTE* b, uint32_t bLength)
{
    return a != nullptr && b != nullptr && aLength == bLength && ConstantTimeEqual(a, b, aLength);
}

}  // namespace

bool IsReflectedReply(const Envelope& reply, const Envelope& request, const BYTE proof[kDigestLength])
{
    const bool macIsRequestMac =
        SameBytes(reply.mac.get(), reply.macLength, request.mac.get(), request.macLength);
    const bool macIsProof = SameBytes(reply.mac.get(), reply.macLength, proof, kDigestLength);
    const bool ciphertextIsRequest = SameBytes(reply.ciphertext.get(), reply.ciphertextLength,
                                               request.ciphertext.get(), request.ciphertextLength);
    return macIsRequestMac || macIsProof || ciphertextIsRequest;
}
