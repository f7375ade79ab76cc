// One pipe instance and the exchange on it, as a state machine driven by
// thread-pool I/O completions: listen, hello, client nonce and proof,
// request, private-key work (on the worker pool), reply, wait for the
// client's close. Each phase that waits on the client has a deadline; the
// core's sweep cancels the operation of a phase that outlives it.
#pragma once

#include "serving_core_state.h"

#include <windows.h>

// Links a new connection for `pipe` (owned from here on), an instance of
// core->names[name], into the core and starts listening on it.
// `fromCreatingSlot`: the caller counted it as being made, and the count
// moves to listening at once. False (the pipe closed, nothing left linked)
// when it cannot listen.
bool ListenOnNewInstance(ServingCore* core, HANDLE pipe, DWORD name, bool fromCreatingSlot);

// Cancels the pending operation of a connection whose deadline has passed.
// Called by the sweep with the core lock held (shared).
void ExpireIfOverdue(Connection* connection, ULONGLONG now);

// Cancels a pending listen (stopping). Called with the core lock held.
void CancelListen(Connection* connection);

// Closes the I/O objects of retired instances once their last callback has
// returned, and frees them. Never called from an I/O callback.
void DrainRetired(ServingCore* core);

// The core's list of instances.
Connection* NextConnection(const Connection* connection);
bool IsListening(const Connection* connection);
