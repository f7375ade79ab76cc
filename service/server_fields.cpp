#include "server_fields.h"

#include "handshake.h"
#include "timed_pipe_io.h"

#include <algorithm>
#include <cstring>

bool ReadField(FieldReader* reader, void* out, uint32_t length)
{
    BYTE* to = static_cast<BYTE*>(out);
    const ULONGLONG started = GetTickCount64();
    while (length > 0) {
        if (reader->start < reader->end) {
            const uint32_t take = std::min(length, reader->end - reader->start);
            memcpy(to, reader->buffer + reader->start, take);
            reader->start += take;
            to += take;
            length -= take;
            continue;
        }
        const ULONGLONG elapsed = GetTickCount64() - started;
        if (elapsed >= reader->timeoutMs) {
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
        const DWORD wait = static_cast<DWORD>(reader->timeoutMs - elapsed);
        uint32_t got = 0;
        if (length >= sizeof(reader->buffer)) {
            // A field as long as the buffer goes straight to its place.
            if (!TimedPipeReadSome(reader->pipe, to, length, &got, reader->event, wait)) {
                return false;
            }
            to += got;
            length -= got;
            continue;
        }
        if (!TimedPipeReadSome(reader->pipe, reader->buffer, sizeof(reader->buffer), &got, reader->event, wait)) {
            return false;
        }
        reader->start = 0;
        reader->end = got;
    }
    return true;
}

bool ReadFieldU32(FieldReader* reader, uint32_t* value)
{
    BYTE field[4] = {};
    if (!ReadField(reader, field, sizeof(field))) {
        return false;
    }
    *value = GetU32(field);
    return true;
}

bool ReadBufferedEnvelope(FieldReader* reader, Envelope* envelope)
{
    return ReadEnvelopeFields([reader](void* out, uint32_t length) { return ReadField(reader, out, length); },
                              envelope);
}

bool WriteHello(HANDLE pipe, const BYTE* nonce, uint32_t nonceLength, HANDLE event)
{
    BYTE fields[kServerHelloMaxLength];
    uint32_t length = 0;
    if (!EncodeServerHello(nonce, nonceLength, fields, &length)) {
        return false;
    }
    const bool ok = TimedPipeWrite(pipe, fields, length, nullptr, event);
    WipeBytes(fields, sizeof(fields));
    return ok;
}

bool WriteEnvelopeAtOnce(HANDLE pipe, const Envelope& envelope, HANDLE event)
{
    HeapBlock fields;
    return EncodeEnvelope(envelope, &fields) &&
           TimedPipeWrite(pipe, fields.get(), static_cast<uint32_t>(fields.size()), nullptr, event);
}
