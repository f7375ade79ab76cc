// The service's side of one exchange, without the pipe: the server nonce,
// the proof check (with the secret re-read after a failed proof), and the
// answer to one request envelope as the reply envelope's wire bytes. The
// connection state machine (connection.cpp) moves the bytes.
#pragma once

#include "envelope.h"
#include "exchange_log.h"
#include "heap_block.h"
#include "key_cache.h"
#include "protocol.h"
#include "session_keys.h"

#include <windows.h>

struct ServerState {
    KeyCache keys;
    // The user's pipe secret, loaded at start; read again when a client's
    // proof fails (the file may have been replaced), at most once a second
    // so that clients without the secret cannot keep the service reading it.
    SRWLOCK secretLock = SRWLOCK_INIT;
    HeapBlock secret;
    ULONGLONG lastReload = 0;  // tick of the last re-read; under secretLock
};

constexpr DWORD kSecretReloadIntervalMs = 1000;

// Loads (or creates) the pipe secret into the state; the LoadPipeSecret status.
LONG LoadServerSecret(ServerState* state);

// What one exchange holds that must not outlive it; wiped when it goes.
struct ExchangeSecrets {
    BYTE serverNonce[kMaxServerNonceLength] = {};
    SessionKeys keys = {};

    ExchangeSecrets() = default;
    ExchangeSecrets(const ExchangeSecrets&) = delete;
    ExchangeSecrets& operator=(const ExchangeSecrets&) = delete;
    ~ExchangeSecrets();
};

bool DrawServerNonce(ExchangeSecrets* secrets);

// Derives the session keys from the secret held now and both nonces; true
// if the client's proof matches them.
bool ProofMatches(ServerState* state, ExchangeSecrets* secrets, const BYTE* clientNonce, const BYTE* proof);

// Whether a failed proof may read the secret file again now.
bool SecretReloadDue(ServerState* state);

// After a failed proof: reads the secret file again unless that was done
// less than a second ago. True when it now holds a different secret, so the
// proof is worth checking again. Blocks for the file and DPAPI.
bool ReloadSecretAfterFailedProof(ServerState* state);

// Opens the request, answers it (private-key work included) and seals the
// reply. Fills the record's code and key; returns the outcome for the log.
// `replyWire` gets the reply envelope's bytes, empty when there is no reply.
const char* AnswerRequest(ServerState* state, const SessionKeys& keys, const Envelope& request,
                          ExchangeRecord* record, HeapBlock* replyWire);
