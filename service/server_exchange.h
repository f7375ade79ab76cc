// The service's side of one exchange on a connected pipe instance:
// handshake, proof check, one request, one reply.
#pragma once

#include "exchange_log.h"
#include "heap_block.h"
#include "key_cache.h"

#include <windows.h>

struct ServerState {
    KeyCache keys;
    // The user's pipe secret, loaded at start; reloaded when a client's
    // proof fails, in case the file was replaced since.
    SRWLOCK secretLock = SRWLOCK_INIT;
    HeapBlock secret;
};

// Loads (or creates) the pipe secret into the state; the LoadPipeSecret status.
LONG LoadServerSecret(ServerState* state);

// Runs one exchange and fills the record for the log line. Never throws,
// never blocks beyond the per-field I/O bound.
// `event` is a manual-reset event that all its pipe transfers reuse.
void ServeConnection(ServerState* state, HANDLE pipe, HANDLE event, ExchangeRecord* record);
