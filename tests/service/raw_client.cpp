#include "raw_client.h"

#include "channel/envelope.h"
#include "channel/hmac_sha256.h"
#include "channel/pipe_secret.h"
#include "channel/protocol.h"
#include "channel/session_keys.h"
#include "channel/timed_pipe_io.h"

#include <bcrypt.h>

#include <cstring>

namespace {

void AppendU32(std::vector<BYTE>* out, uint32_t v)
{
    BYTE b[4];
    PutU32(b, v);
    out->insert(out->end(), b, b + 4);
}

}  // namespace

std::vector<BYTE> NameBytes(const wchar_t* name)
{
    const BYTE* p = reinterpret_cast<const BYTE*>(name);
    return std::vector<BYTE>(p, p + 2 * wcslen(name));
}

std::vector<BYTE> Request(uint32_t code, const std::vector<BYTE>& payload)
{
    std::vector<BYTE> out;
    AppendU32(&out, code);
    AppendU32(&out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<BYTE> OperationPayload(const std::vector<BYTE>& data, const wchar_t* keyName, uint32_t flags)
{
    std::vector<BYTE> name = NameBytes(keyName);
    std::vector<BYTE> out;
    AppendU32(&out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    AppendU32(&out, static_cast<uint32_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    AppendU32(&out, flags);
    return out;
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
         OpenEnvelope(keys, response, &plaintext, &plaintextLength) == 0 && plaintextLength >= 8;
    if (ok) {
        reply.received = true;
        reply.status = GetU32(plaintext.get());
        uint32_t m = GetU32(plaintext.get() + 4);
        if (m <= plaintextLength - 8) {
            reply.payload.assign(plaintext.get() + 8, plaintext.get() + 8 + m);
        }
    }
    if (secret != nullptr) {
        WipeAndHeapFree(secret, secretLength);
    }
    WipeSessionKeys(&keys);
    CloseHandle(pipe);
    return reply;
}
