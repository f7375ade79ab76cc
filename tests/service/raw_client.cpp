#include "raw_client.h"

#include "channel/envelope.h"
#include "channel/payloads.h"
#include "channel/plaintexts.h"
#include "channel/hmac_sha256.h"
#include "channel/pipe_secret.h"
#include "channel/protocol.h"
#include "channel/session_keys.h"
#include "channel/timed_pipe_io.h"

#include <bcrypt.h>

#include <cstring>

std::vector<BYTE> NameBytes(const wchar_t* name)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(name);
    return std::vector<BYTE>(p, p + 2 * wcslen(name));
}

// Built by the wire library's encoders (pinned byte for byte by
// wire_format_test.cpp).
std::vector<BYTE> Request(uint32_t code, const std::vector<BYTE>& payload)
{
    HeapBlock block;
    if (EncodeRequest(code, payload.data(), static_cast<uint32_t>(payload.size()), &block) != 0) {
        return {};
    }
    return std::vector<BYTE>(block.get(), block.get() + block.size());
}

std::vector<BYTE> OperationPayload(const std::vector<BYTE>& data, const wchar_t* keyName, uint32_t flags)
{
    HeapBlock block;
    if (EncodeOperationPayload(data.data(), static_cast<uint32_t>(data.size()), keyName,
                               static_cast<uint32_t>(wcslen(keyName)), flags, &block) != 0) {
        return {};
    }
    return std::vector<BYTE>(block.get(), block.get() + block.size());
}

RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, bool corruptProof)
{
    RawReply reply;
    HANDLE pipe = CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        return reply;
    }
    BYTE serverNonce[kMaxServerNonceLength] = {};
    BYTE clientNonce[kClientNonceLength] = {};
    BYTE proof[kDigestLength] = {};
    uint32_t hello = 0;
    uint32_t n = 0;
    BYTE* secret = nullptr;
    uint32_t secretLength = 0;
    SessionKeys keys{};
    Envelope request;
    Envelope response;
    HeapBlock plaintext;
    uint32_t plaintextLength = 0;
    bool ok = ReadU32(pipe, &hello) && hello == kServerHello && ReadU32(pipe, &n) && n >= 1 &&
              n <= kMaxServerNonceLength && TimedPipeRead(pipe, serverNonce, n, nullptr) &&
              BCryptGenRandom(nullptr, clientNonce, sizeof(clientNonce), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0 &&
              WriteU32(pipe, kClientNonceLength) && TimedPipeWrite(pipe, clientNonce, kClientNonceLength, nullptr) &&
              LoadPipeSecret(&secret, &secretLength) == 0 &&
              DeriveSessionKeys(secret, secretLength, serverNonce, n, clientNonce, kClientNonceLength, &keys) == 0 &&
              HmacSha256(keys.macKey, kSessionKeyLength, serverNonce, n, proof) == 0;
    if (ok && corruptProof) {
        proof[7] ^= 0x10;
    }
    ok = ok && WriteU32(pipe, kDigestLength) && TimedPipeWrite(pipe, proof, kDigestLength, nullptr) &&
         SealEnvelope(keys, requestPlaintext.data(), static_cast<uint32_t>(requestPlaintext.size()), &request) == 0 &&
         WriteEnvelope(pipe, request) && ReadEnvelope(pipe, &response) &&
         OpenEnvelope(keys, response, &plaintext, &plaintextLength) == 0;
    PlaintextView view;
    if (ok && GetPlaintextHeader(plaintext.get(), plaintextLength, &view)) {
        reply.received = true;
        reply.status = view.word;
        if (DecodeReply(plaintext.get(), plaintextLength, &view)) {
            reply.payload.assign(view.body, view.body + view.length);
        }
    }
    if (secret != nullptr) {
        WipeAndHeapFree(secret, secretLength);
    }
    WipeSessionKeys(&keys);
    CloseHandle(pipe);
    return reply;
}
