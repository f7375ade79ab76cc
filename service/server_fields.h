// The service's side of the field transfers. Every pipe read and write is a
// round trip to the wineserver under Wine, and a read that has to wait is a
// hand-off between processes, so the service gathers what it sends and
// buffers what it receives; the bytes on the wire are the same.
#pragma once

#include "envelope.h"
#include "protocol.h"

#include <windows.h>

#include <cstdint>

// Reads fields through a buffer: one pipe read takes whatever the client
// has written so far, so fields sent back to back cost one read between
// them. Each field must arrive whole within `timeoutMs` of the start of its
// read, as with TimedPipeRead. The buffer is wiped when the reader goes.
struct FieldReader {
    FieldReader(HANDLE pipeHandle, HANDLE ioEvent, DWORD timeout = kPipeIoTimeoutMs)
        : pipe(pipeHandle), event(ioEvent), timeoutMs(timeout)
    {
    }
    FieldReader(const FieldReader&) = delete;
    FieldReader& operator=(const FieldReader&) = delete;
    ~FieldReader() { WipeBytes(buffer, sizeof(buffer)); }

    HANDLE pipe;
    HANDLE event;
    DWORD timeoutMs;
    BYTE buffer[4096] = {};
    uint32_t start = 0;  // buffer[start, end) is received and not yet handed out
    uint32_t end = 0;
};

bool ReadField(FieldReader* reader, void* out, uint32_t length);
bool ReadFieldU32(FieldReader* reader, uint32_t* value);
bool ReadBufferedEnvelope(FieldReader* reader, Envelope* envelope);

// Fields 1 to 3 (hello, nonce length, nonce) in one write.
bool WriteHello(HANDLE pipe, const BYTE* nonce, uint32_t nonceLength, HANDLE event);

// The six fields of an envelope in one write.
bool WriteEnvelopeAtOnce(HANDLE pipe, const Envelope& envelope, HANDLE event);
