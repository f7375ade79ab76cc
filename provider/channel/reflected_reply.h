#pragma once

#include "envelope.h"

#include <windows.h>

// One MAC key serves both directions and the MAC does not cover the IV, so a
// process without the secret can still produce envelopes whose MAC verifies:
// our own request sent back (with any IV), or a ciphertext equal to its own
// 16- or 32-byte server nonce carrying our proof as its MAC. True if `reply`
// is such an envelope: its MAC equals the request's MAC or the proof, or its
// ciphertext equals the request's. Compared in constant time.
bool IsReflectedReply(const Envelope& reply, const Envelope& request, const BYTE proof[kDigestLength]);
