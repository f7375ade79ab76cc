#include "server_exchange.h"

#include "envelope.h"
#include "ksp_status.h"
#include "hmac_sha256.h"
#include "pipe_secret.h"
#include "protocol.h"
#include "session_keys.h"
#include "timed_pipe_io.h"
#include "request_handler.h"
#include "server_fields.h"

#include <bcrypt.h>

namespace {

// Everything secret that one exchange holds on the stack, wiped on exit.
struct ExchangeSecrets {
    BYTE secret[kPipeSecretLength] = {};
    BYTE serverNonce[kMaxServerNonceLength] = {};
    BYTE clientNonce[kClientNonceLength] = {};
    BYTE proof[kDigestLength] = {};
    BYTE expected[kDigestLength] = {};
    SessionKeys keys = {};

    ExchangeSecrets() = default;
    ExchangeSecrets(const ExchangeSecrets&) = delete;
    ExchangeSecrets& operator=(const ExchangeSecrets&) = delete;
    ~ExchangeSecrets()
    {
        WipeBytes(secret, sizeof(secret));
        WipeBytes(serverNonce, sizeof(serverNonce));
        WipeBytes(clientNonce, sizeof(clientNonce));
        WipeBytes(proof, sizeof(proof));
        WipeBytes(expected, sizeof(expected));
        WipeSessionKeys(&keys);
    }
};

void CopySecret(ServerState* state, BYTE* out)
{
    AcquireSRWLockShared(&state->secretLock);
    memcpy(out, state->secret.get(), kPipeSecretLength);
    ReleaseSRWLockShared(&state->secretLock);
}

// Session keys from `s->secret` and both nonces, and whether the client's
// proof matches them.
bool ProofMatches(ExchangeSecrets* s)
{
    if (DeriveSessionKeys(s->secret, kPipeSecretLength, s->serverNonce, kMaxServerNonceLength,
                          s->clientNonce, kClientNonceLength, &s->keys) != 0 ||
        HmacSha256(s->keys.macKey, kSessionKeyLength, s->serverNonce, kMaxServerNonceLength,
                   s->expected) != 0) {
        return false;
    }
    return ConstantTimeEqual(s->proof, s->expected, kDigestLength);
}

// After a failed proof: reads the store again and, if the secret changed,
// keeps the new one. True when there is a different secret to try.
bool ReloadSecret(ServerState* state, ExchangeSecrets* s)
{
    BYTE* fresh = nullptr;
    uint32_t length = 0;
    if (LoadPipeSecret(&fresh, &length) != 0 || fresh == nullptr || length != kPipeSecretLength) {
        if (fresh != nullptr) {
            WipeAndHeapFree(fresh, length);
        }
        return false;
    }
    bool changed = !ConstantTimeEqual(fresh, s->secret, kPipeSecretLength);
    if (changed) {
        memcpy(s->secret, fresh, kPipeSecretLength);
        AcquireSRWLockExclusive(&state->secretLock);
        memcpy(state->secret.get(), fresh, kPipeSecretLength);
        ReleaseSRWLockExclusive(&state->secretLock);
    }
    WipeAndHeapFree(fresh, length);
    return changed;
}

// The client reads the whole reply and then closes its end. Data still in
// the pipe is lost at disconnect, so wait (bounded) for that close first.
// Stray bytes after the request are skipped, but only a few.
void AwaitClientClose(HANDLE pipe, HANDLE event)
{
    BYTE ignored[64];
    for (int i = 0; i < 16 && TimedPipeRead(pipe, ignored, 1, nullptr, event); ++i) {
    }
}

const char* RunExchange(ServerState* state, HANDLE pipe, HANDLE event, ExchangeRecord* record)
{
    ExchangeSecrets s;
    if (BCryptGenRandom(nullptr, s.serverNonce, kMaxServerNonceLength,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
        return "no-random";
    }
    FieldReader reader(pipe, event);
    uint32_t clientNonceLength = 0;
    uint32_t proofLength = 0;
    if (!WriteHello(pipe, s.serverNonce, kMaxServerNonceLength, event) ||
        !ReadFieldU32(&reader, &clientNonceLength) || clientNonceLength != kClientNonceLength ||
        !ReadField(&reader, s.clientNonce, kClientNonceLength) ||
        !ReadFieldU32(&reader, &proofLength) || proofLength != kDigestLength ||
        !ReadField(&reader, s.proof, kDigestLength)) {
        return "handshake-failed";
    }
    CopySecret(state, s.secret);
    if (!ProofMatches(&s) && !(ReloadSecret(state, &s) && ProofMatches(&s))) {
        return "proof-rejected";
    }

    Envelope request;
    HeapBlock plaintext;
    uint32_t plaintextLength = 0;
    if (!ReadBufferedEnvelope(&reader, &request)) {
        return "request-unreadable";
    }
    if (OpenEnvelope(s.keys, request, &plaintext, &plaintextLength) != 0) {
        return "request-rejected";
    }

    Reply reply;
    RequestSummary summary;
    HandleRequest(&state->keys, plaintext.get(), plaintextLength, &reply, &summary);
    record->hasCode = summary.hasCode;
    record->code = summary.code;
    record->hasKeyName = summary.hasKeyName;
    record->keyName = summary.keyName;

    HeapBlock replyPlaintext;
    Envelope response;
    if (!BuildReplyPlaintext(reply, &replyPlaintext) ||
        SealEnvelope(s.keys, replyPlaintext.get(), static_cast<uint32_t>(replyPlaintext.size()),
                     &response) != 0 ||
        !WriteEnvelopeAtOnce(pipe, response, event)) {
        return "reply-not-sent";
    }
    AwaitClientClose(pipe, event);
    return summary.outcome;
}

}  // namespace

LONG LoadServerSecret(ServerState* state)
{
    BYTE* secret = nullptr;
    uint32_t length = 0;
    SECURITY_STATUS status = LoadPipeSecret(&secret, &length);
    if (status != 0) {
        return status;
    }
    if (secret == nullptr || length != kPipeSecretLength) {
        WipeAndHeapFree(secret, length);
        return NTE_INTERNAL_ERROR;
    }
    AcquireSRWLockExclusive(&state->secretLock);
    state->secret.Adopt(secret, length);
    ReleaseSRWLockExclusive(&state->secretLock);
    return 0;
}

void ServeConnection(ServerState* state, HANDLE pipe, HANDLE event, ExchangeRecord* record)
{
    ULONGLONG start = GetTickCount64();
    record->outcome = RunExchange(state, pipe, event, record);
    record->milliseconds = GetTickCount64() - start;
}
