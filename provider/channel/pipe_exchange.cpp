#include "pipe_exchange.h"

#include "caller_user.h"
#include "envelope.h"
#include "handshake.h"
#include "heap_block.h"
#include "hmac_sha256.h"
#include "ksp_status.h"
#include "pipe_secret.h"
#include "pipe_server_user.h"
#include "plaintexts.h"
#include "protocol.h"
#include "reflected_reply.h"
#include "session_keys.h"
#include "timed_pipe_io.h"
#include "unique_resource.h"
#include "user_pipe_name.h"

#include <bcrypt.h>

#include <cstring>

namespace {

// Everything one exchange holds; the destructor releases all of it.
struct Exchange {
    UniqueFile pipe;
    UniqueHandle event;  // lent to every transfer of this exchange
    BYTE serverNonce[kMaxServerNonceLength] = {};
    uint32_t serverNonceLength = 0;
    BYTE clientNonce[kClientNonceLength] = {};
    HeapBlock secret;
    SessionKeys keys = {};
    BYTE proof[kDigestLength] = {};
    HeapBlock request;
    Envelope requestEnvelope;
    Envelope replyEnvelope;
    HeapBlock reply;
    DWORD ioError = 0;  // last error of the pipe operation that failed

    Exchange() = default;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;
    ~Exchange()
    {
        // The connection goes first, before the blocks it carried.
        pipe.Reset();
        event.Reset();
        WipeBytes(serverNonce, sizeof(serverNonce));
        WipeBytes(clientNonce, sizeof(clientNonce));
        WipeSessionKeys(&keys);
        WipeBytes(proof, sizeof(proof));
    }

    bool Io(bool ok)
    {
        if (!ok && ioError == 0) {
            ioError = GetLastError();
        }
        return ok;
    }
    bool Read(void* buffer, uint32_t length)
    {
        return Io(TimedPipeRead(pipe.get(), buffer, length, nullptr, event.get()));
    }
    bool Write(const void* buffer, uint32_t length)
    {
        return Io(TimedPipeWrite(pipe.get(), buffer, length, nullptr, event.get()));
    }
    bool WriteU32Field(uint32_t value) { return Io(WriteU32(pipe.get(), value, event.get())); }
};

HANDLE OpenPipe(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

// Fields 1 to 5: hello, server nonce, client nonce.
SECURITY_STATUS Handshake(Exchange& ex)
{
    TokenUserRecord caller;
    UserPipeName own;
    if (!ReadCallerUser(&caller) || !FormatUserPipeName(caller.sid(), &own)) {
        return NTE_INTERNAL_ERROR;
    }
    // Our user's own name first; the machine-wide one only where no pipe of
    // that name exists (a service that serves only the machine-wide name).
    HANDLE pipe = OpenPipe(own.text);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
        pipe = OpenPipe(kPipeName);
    }
    ex.pipe.Reset(pipe);
    if (!ex.pipe) {
        return NTE_INTERNAL_ERROR;
    }
    // Anyone may create either name while the service is down. Only a server
    // of our own user gets to see anything, and before the secret is touched.
    if (!PipeServerIsUser(ex.pipe.get(), caller.sid())) {
        return NTE_INTERNAL_ERROR;
    }
    // One event for all transfers; without it no transfer can be waited for.
    ex.event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ex.event) {
        return NTE_INTERNAL_ERROR;
    }
    // Fields 1 to 3, one read each.
    ServerHelloDecoder hello;
    if (!ReadAllFields(&hello, [&ex](void* buffer, uint32_t length) { return ex.Read(buffer, length); })) {
        return NTE_INTERNAL_ERROR;
    }
    std::memcpy(ex.serverNonce, hello.nonce().data(), hello.nonce().size());
    ex.serverNonceLength = static_cast<uint32_t>(hello.nonce().size());
    // The exchange reports its own statuses; BCrypt's are not mapped here.
    if (BCryptGenRandom(nullptr, ex.clientNonce, kClientNonceLength, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return NTE_INTERNAL_ERROR;
    }
    if (!ex.WriteU32Field(kClientNonceLength) || !ex.Write(ex.clientNonce, kClientNonceLength)) {
        return NTE_INTERNAL_ERROR;
    }
    return ZK_SUCCESS;
}

// The secret is loaded only once a service has answered, so an absent
// service never makes us read or create the secret file.
SECURITY_STATUS DeriveKeys(Exchange& ex)
{
    const SECURITY_STATUS status = LoadPipeSecret(&ex.secret);
    if (status != ZK_SUCCESS) {
        return status;
    }
    return DeriveSessionKeys(ex.secret.get(), static_cast<uint32_t>(ex.secret.size()), ex.serverNonce,
                             ex.serverNonceLength, ex.clientNonce, kClientNonceLength, &ex.keys);
}

// Fields 6 to 13, written back to back.
bool SendProofAndRequest(Exchange& ex, uint32_t requestCode, const BYTE* payload, uint32_t payloadLength)
{
    if (HmacSha256(ex.keys.macKey, kSessionKeyLength, ex.serverNonce, ex.serverNonceLength, ex.proof) != 0) {
        return false;
    }
    if (!ex.WriteU32Field(kDigestLength) || !ex.Write(ex.proof, kDigestLength)) {
        return false;
    }
    if (EncodeRequest(requestCode, {payload, payloadLength}, &ex.request) != ZK_SUCCESS) {
        return false;
    }
    if (SealEnvelope(ex.keys, ex.request.get(), static_cast<uint32_t>(ex.request.size()), &ex.requestEnvelope) !=
        ZK_SUCCESS) {
        return false;
    }
    return ex.Io(WriteEnvelope(ex.pipe.get(), ex.requestEnvelope, ex.event.get()));
}

// Fields 14 to 19, then verification, decryption and the reply's checks.
bool ReceiveReply(Exchange& ex, uint32_t* replyDataLength)
{
    if (!ex.Io(ReadEnvelope(ex.pipe.get(), &ex.replyEnvelope, ex.event.get()))) {
        return false;
    }
    // Its MAC would verify, yet it needs no secret to make.
    if (IsReflectedReply(ex.replyEnvelope, ex.requestEnvelope, ex.proof)) {
        return false;
    }
    uint32_t length = 0;
    if (OpenEnvelope(ex.keys, ex.replyEnvelope, &ex.reply, &length) != ZK_SUCCESS) {
        return false;
    }
    PlaintextView reply;
    if (!DecodeReply({ex.reply.get(), length}, &reply) || reply.word != kReplyOk) {
        return false;
    }
    *replyDataLength = reply.length;
    return true;
}

SECURITY_STATUS Run(Exchange& ex, uint32_t requestCode, const BYTE* payload, uint32_t payloadLength,
                    HeapBlock* replyPayload)
{
    SECURITY_STATUS status = Handshake(ex);
    if (status != ZK_SUCCESS) {
        return status;
    }
    status = DeriveKeys(ex);
    if (status != ZK_SUCCESS) {
        return status;
    }
    uint32_t m = 0;
    if (!SendProofAndRequest(ex, requestCode, payload, payloadLength) || !ReceiveReply(ex, &m)) {
        return NTE_INTERNAL_ERROR;
    }
    if (replyPayload != nullptr) {
        // A zero-length reply still gets its own block.
        HeapBlock out(m);
        if (!out) {
            return NTE_INTERNAL_ERROR;
        }
        if (m != 0) {
            std::memcpy(out.get(), ex.reply.get() + kPlaintextHeaderLength, m);
        }
        *replyPayload = static_cast<HeapBlock&&>(out);
    }
    return ZK_SUCCESS;
}

}  // namespace

SECURITY_STATUS PipeExchange(uint32_t requestCode, const BYTE* payload, uint32_t payloadLength,
                             HeapBlock* replyPayload)
{
    // The ciphertext block is n + 24 bytes; refuse before anything is made.
    if (static_cast<uint64_t>(payloadLength) + 24 > 0xFFFFFFFFull) {
        return NTE_INVALID_PARAMETER;
    }
    if (payload == nullptr && payloadLength != 0) {
        return NTE_INVALID_PARAMETER;
    }
    SECURITY_STATUS status;
    DWORD ioError = 0;
    {
        Exchange ex;
        status = Run(ex, requestCode, payload, payloadLength, replyPayload);
        ioError = ex.ioError;
    }
    // Releasing may have touched the last error; the caller sees the pipe's.
    if (status != ZK_SUCCESS && ioError != 0) {
        SetLastError(ioError);
    }
    return status;
}

SECURITY_STATUS PipeExchange(uint32_t requestCode, const BYTE* payload, uint32_t payloadLength, BYTE** replyPayload,
                             uint32_t* replyLength)
{
    const bool wanted = replyPayload != nullptr && replyLength != nullptr;
    HeapBlock reply;
    const SECURITY_STATUS status = PipeExchange(requestCode, payload, payloadLength, wanted ? &reply : nullptr);
    if (status == ZK_SUCCESS && wanted) {
        *replyLength = static_cast<uint32_t>(reply.size());
        *replyPayload = reply.Release();
    }
    return status;
}
