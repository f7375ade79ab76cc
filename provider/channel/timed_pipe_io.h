#pragma once

#include <windows.h>

#include <cstdint>

// One field read or written on an overlapped pipe handle, all of it within
// kPipeIoTimeoutMs of the start. A transfer that moves fewer bytes than asked
// is continued until the field is complete or the time is up. On timeout the
// pending operation is cancelled, waited for, and the thread's last error is
// ERROR_TIMEOUT. `*transferred` (optional) gets the bytes actually moved.
//
// `event`, if given, is a manual-reset event of the caller's that every
// transfer of one exchange reuses; without it each transfer makes and closes
// its own. Under Wine each of those is a round trip to the wineserver, and an
// exchange has up to 19 transfers on either side.
bool TimedPipeRead(HANDLE pipe, void* buffer, uint32_t length, uint32_t* transferred, HANDLE event = nullptr);
bool TimedPipeWrite(HANDLE pipe, const void* buffer, uint32_t length, uint32_t* transferred,
                    HANDLE event = nullptr);

// One overlapped read that completes as soon as any bytes arrive, with up to
// `capacity` of them, waited for at most `waitMs`. An end of pipe (a read of
// nothing) is a failure with ERROR_BROKEN_PIPE; a timeout cancels the read as
// above. For a reader that buffers what the other side wrote back to back.
bool TimedPipeReadSome(HANDLE pipe, void* buffer, uint32_t capacity, uint32_t* transferred, HANDLE event,
                       DWORD waitMs);
