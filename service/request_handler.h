// Answers one decrypted request plaintext (code, length, payload).
#pragma once

#include "protocol.h"
#include "heap_block.h"
#include "key_cache.h"

#include <windows.h>

#include <string>

struct Reply {
    DWORD status = 0;
    HeapBlock payload;  // wiped on release: it may hold a plaintext
    ULONG payloadLength = 0;
};

// What the log line reports about a request; never the payload.
struct RequestSummary {
    bool hasCode = false;  // the plaintext was long enough to carry one
    DWORD code = 0;
    bool hasKeyName = false;
    std::wstring keyName;
    const char* outcome = "";
};

void HandleRequest(KeyCache* cache, const BYTE* plaintext, size_t length, Reply* reply,
                   RequestSummary* summary);

// The reply plaintext: status word, payload length, payload. Wiped on release.
bool BuildReplyPlaintext(const Reply& reply, HeapBlock* plaintext);
