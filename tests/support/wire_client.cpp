#include "wire_client.h"

#include "envelope.h"
#include "heap_block.h"
#include "hmac_sha256.h"
#include "payloads.h"
#include "pipe_secret.h"
#include "plaintexts.h"
#include "protocol.h"
#include "session_keys.h"
#include "timed_pipe_io.h"
#include "unique_resource.h"
#include "utf16_text.h"
#include "wide_key_name.h"
#include "wire_codec.h"

#include <gtest/gtest.h>

#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cwchar>

namespace zt {
namespace {

std::vector<BYTE> Bytes(const HeapBlock& block)
{
    return std::vector<BYTE>(block.get(), block.get() + block.size());
}

}  // namespace

std::vector<BYTE> NameBytes(const wchar_t* name)
{
    const BYTE* bytes = PublicKeyPayload(name);
    return std::vector<BYTE>(bytes, bytes + KeyNameWireLength(static_cast<uint32_t>(std::wcslen(name))));
}

std::vector<BYTE> OperationPayload(const std::vector<BYTE>& data, const wchar_t* name, uint32_t flags)
{
    HeapBlock block;
    if (EncodeOperationPayload(data, ToUtf16(name), flags, &block) != 0) {
        ADD_FAILURE() << "operation payload not encoded";
        return {};
    }
    return Bytes(block);
}

std::vector<BYTE> RequestPlaintext(uint32_t code, const std::vector<BYTE>& payload)
{
    HeapBlock block;
    if (EncodeRequest(code, payload, &block) != 0) {
        ADD_FAILURE() << "request plaintext not encoded";
        return {};
    }
    return Bytes(block);
}

namespace {

bool WriteClientBytes(HANDLE pipe, const std::vector<BYTE>& bytes, ClientWrites writes)
{
    if (writes == ClientWrites::AllAtOnce) {
        return TimedPipeWrite(pipe, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
    }
    for (BYTE b : bytes) {
        if (!TimedPipeWrite(pipe, &b, 1, nullptr)) {
            return false;
        }
    }
    return true;
}

RawReply Exchange(const std::vector<BYTE>& requestPlaintext, bool corruptProof, ClientWrites writes,
                  size_t strayBytes = 0)
{
    RawReply reply;
    const UniqueFile pipe(CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe) {
        return reply;
    }
    BYTE serverNonce[kMaxServerNonceLength] = {};
    BYTE clientNonce[kClientNonceLength] = {};
    BYTE proof[kDigestLength] = {};
    SessionKeys keys{};
    const ScopedWipe wipeKeys(SizedBlock{reinterpret_cast<BYTE*>(&keys), sizeof keys});
    uint32_t hello = 0;
    uint32_t n = 0;
    HeapBlock secret;
    Envelope request;
    Envelope response;
    HeapBlock plaintext;
    uint32_t plaintextLength = 0;
    bool ok = ReadU32(pipe.get(), &hello) && hello == kServerHello && ReadU32(pipe.get(), &n) &&
              n >= kMinServerNonceLength && n <= kMaxServerNonceLength &&
              TimedPipeRead(pipe.get(), serverNonce, n, nullptr) &&
              BCryptGenRandom(nullptr, clientNonce, sizeof(clientNonce), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0 &&
              LoadPipeSecret(&secret) == 0 &&
              DeriveSessionKeys(secret.get(), static_cast<uint32_t>(secret.size()), serverNonce, n, clientNonce,
                                kClientNonceLength, &keys) == 0 &&
              HmacSha256(keys.macKey, kSessionKeyLength, serverNonce, n, proof) == 0;
    if (ok && corruptProof) {
        proof[7] ^= 0x10;
    }
    if (writes == ClientWrites::FieldByField) {
        ok = ok && WriteU32(pipe.get(), kClientNonceLength) &&
             TimedPipeWrite(pipe.get(), clientNonce, kClientNonceLength, nullptr) && WriteU32(pipe.get(), kDigestLength) &&
             TimedPipeWrite(pipe.get(), proof, kDigestLength, nullptr) &&
             SealEnvelope(keys, requestPlaintext.data(), static_cast<uint32_t>(requestPlaintext.size()), &request) == 0 &&
             WriteEnvelope(pipe.get(), request);
    } else {
        HeapBlock envelope;
        ok = ok &&
             SealEnvelope(keys, requestPlaintext.data(), static_cast<uint32_t>(requestPlaintext.size()), &request) == 0 &&
             EncodeEnvelope(request, &envelope);
        if (ok) {
            std::vector<BYTE> bytes(8 + kClientNonceLength + kDigestLength);
            PutU32(bytes.data(), kClientNonceLength);
            std::copy(clientNonce, clientNonce + kClientNonceLength, bytes.begin() + 4);
            PutU32(bytes.data() + 4 + kClientNonceLength, kDigestLength);
            std::copy(proof, proof + kDigestLength, bytes.begin() + 8 + kClientNonceLength);
            bytes.insert(bytes.end(), envelope.get(), envelope.get() + envelope.size());
            bytes.insert(bytes.end(), strayBytes, BYTE{0x5A});
            ok = WriteClientBytes(pipe.get(), bytes, writes);
        }
    }
    ok = ok && ReadEnvelope(pipe.get(), &response) && OpenEnvelope(keys, response, &plaintext, &plaintextLength) == 0;
    PlaintextView view;
    if (ok && GetPlaintextHeader({plaintext.get(), plaintextLength}, &view)) {
        reply.received = true;
        reply.status = view.word;
        if (DecodeReply({plaintext.get(), plaintextLength}, &view)) {
            reply.payload.assign(view.body, view.body + view.length);
        }
    }
    return reply;
}

}  // namespace

bool GuardedRead(HANDLE pipe, void* buffer, DWORD length, DWORD* got, DWORD giveUpMs)
{
    std::atomic<bool> done{false};
    const HANDLE self = OpenThread(THREAD_TERMINATE, FALSE, GetCurrentThreadId());
    std::thread guard([&] {
        const ULONGLONG until = GetTickCount64() + giveUpMs;
        while (!done.load() && GetTickCount64() < until) {
            Sleep(20);
        }
        if (!done.load()) {
            CancelSynchronousIo(self);
        }
    });
    *got = 0;
    const BOOL read = ReadFile(pipe, buffer, length, got, nullptr);
    const DWORD error = read ? 0 : GetLastError();
    done.store(true);
    guard.join();
    CloseHandle(self);
    SetLastError(error);
    return read != FALSE;
}

RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, bool corruptProof)
{
    return Exchange(requestPlaintext, corruptProof, ClientWrites::FieldByField);
}

RawReply RawExchange(const std::vector<BYTE>& requestPlaintext, ClientWrites writes)
{
    return Exchange(requestPlaintext, false, writes);
}

RawReply RawExchangeWithStray(const std::vector<BYTE>& requestPlaintext, size_t strayBytes)
{
    return Exchange(requestPlaintext, false, ClientWrites::AllAtOnce, strayBytes);
}

}  // namespace zt
