#include "server_exchange.h"

#include "hmac_sha256.h"
#include "ksp_status.h"
#include "pipe_secret.h"
#include "request_handler.h"

#include <bcrypt.h>

#include <cstring>

namespace {

// A copy of the held secret, wiped when it goes.
struct SecretCopy {
    BYTE bytes[kPipeSecretLength] = {};
    SecretCopy() = default;
    SecretCopy(const SecretCopy&) = delete;
    SecretCopy& operator=(const SecretCopy&) = delete;
    ~SecretCopy() { WipeBytes(bytes, sizeof(bytes)); }
};

void CopySecret(ServerState* state, SecretCopy* out)
{
    AcquireSRWLockShared(&state->secretLock);
    std::memcpy(out->bytes, state->secret.get(), kPipeSecretLength);
    ReleaseSRWLockShared(&state->secretLock);
}

}  // namespace

ExchangeSecrets::~ExchangeSecrets()
{
    WipeBytes(serverNonce, sizeof(serverNonce));
    WipeSessionKeys(&keys);
}

LONG LoadServerSecret(ServerState* state)
{
    BYTE* secret = nullptr;
    uint32_t length = 0;
    SECURITY_STATUS status = LoadPipeSecret(&secret, &length);
    if (status != 0) {
        return status;
    }
    HeapBlock held;
    held.Adopt(secret, length);
    if (!held || length != kPipeSecretLength) {
        return NTE_INTERNAL_ERROR;
    }
    AcquireSRWLockExclusive(&state->secretLock);
    state->secret = static_cast<HeapBlock&&>(held);
    ReleaseSRWLockExclusive(&state->secretLock);
    return 0;
}

bool DrawServerNonce(ExchangeSecrets* secrets)
{
    return BCryptGenRandom(nullptr, secrets->serverNonce, kMaxServerNonceLength, BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

bool ProofMatches(ServerState* state, ExchangeSecrets* secrets, const BYTE* clientNonce, const BYTE* proof)
{
    SecretCopy secret;
    CopySecret(state, &secret);
    BYTE expected[kDigestLength] = {};
    const bool ok = DeriveSessionKeys(secret.bytes, kPipeSecretLength, secrets->serverNonce, kMaxServerNonceLength,
                                      clientNonce, kClientNonceLength, &secrets->keys) == 0 &&
                    HmacSha256(secrets->keys.macKey, kSessionKeyLength, secrets->serverNonce, kMaxServerNonceLength,
                               expected) == 0 &&
                    ConstantTimeEqual(proof, expected, kDigestLength);
    WipeBytes(expected, sizeof(expected));
    return ok;
}

bool SecretReloadDue(ServerState* state)
{
    AcquireSRWLockShared(&state->secretLock);
    const bool due = state->lastReload == 0 || GetTickCount64() - state->lastReload >= kSecretReloadIntervalMs;
    ReleaseSRWLockShared(&state->secretLock);
    return due;
}

bool ReloadSecretAfterFailedProof(ServerState* state)
{
    // Claim the one re-read of this second, then read without the lock.
    AcquireSRWLockExclusive(&state->secretLock);
    const ULONGLONG now = GetTickCount64();
    const bool due = state->lastReload == 0 || now - state->lastReload >= kSecretReloadIntervalMs;
    if (due) {
        state->lastReload = now;
    }
    ReleaseSRWLockExclusive(&state->secretLock);
    if (!due) {
        return false;
    }
    BYTE* fresh = nullptr;
    uint32_t length = 0;
    const SECURITY_STATUS status = LoadPipeSecret(&fresh, &length);
    HeapBlock held;
    held.Adopt(fresh, length);
    if (status != 0 || !held || length != kPipeSecretLength) {
        return false;
    }
    AcquireSRWLockExclusive(&state->secretLock);
    const bool changed = !ConstantTimeEqual(held.get(), state->secret.get(), kPipeSecretLength);
    if (changed) {
        state->secret = static_cast<HeapBlock&&>(held);
    }
    ReleaseSRWLockExclusive(&state->secretLock);
    return changed;
}

const char* AnswerRequest(ServerState* state, const SessionKeys& keys, const Envelope& request,
                          ExchangeRecord* record, HeapBlock* replyWire)
{
    replyWire->Reset();
    HeapBlock plaintext;
    uint32_t plaintextLength = 0;
    if (OpenEnvelope(keys, request, &plaintext, &plaintextLength) != 0) {
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
        SealEnvelope(keys, replyPlaintext.get(), static_cast<uint32_t>(replyPlaintext.size()), &response) != 0 ||
        !EncodeEnvelope(response, replyWire)) {
        replyWire->Reset();
        return "reply-not-sent";
    }
    return summary.outcome;
}
