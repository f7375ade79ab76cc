#include "server_fields.h"

#include "channel/timed_pipe_io.h"

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
    BYTE fields[8 + kMaxServerNonceLength];
    if (nonceLength > kMaxServerNonceLength) {
        return false;
    }
    PutU32(fields, kServerHello);
    PutU32(fields + 4, nonceLength);
    memcpy(fields + 8, nonce, nonceLength);
    const bool ok = TimedPipeWrite(pipe, fields, 8 + nonceLength, nullptr, event);
    WipeBytes(fields, sizeof(fields));
    return ok;
}

bool WriteEnvelopeAtOnce(HANDLE pipe, const Envelope& envelope, HANDLE event)
{
    const size_t length =
        size_t{12} + envelope.ivLength + size_t{envelope.ciphertextLength} + size_t{envelope.macLength};
    if (envelope.ivLength > sizeof(envelope.iv) || length > UINT32_MAX ||
        (envelope.ciphertextLength > 0 && !envelope.ciphertext) || (envelope.macLength > 0 && !envelope.mac)) {
        return false;
    }
    HeapBlock fields(length);
    if (!fields) {
        return false;
    }
    BYTE* at = fields.get();
    const auto put = [&at](const BYTE* bytes, uint32_t n) {
        PutU32(at, n);
        if (n > 0) {
            memcpy(at + 4, bytes, n);
        }
        at += 4 + size_t{n};
    };
    put(envelope.iv, envelope.ivLength);
    put(envelope.ciphertext.get(), envelope.ciphertextLength);
    put(envelope.mac.get(), envelope.macLength);
    return TimedPipeWrite(pipe, fields.get(), static_cast<uint32_t>(length), nullptr, event);
}
