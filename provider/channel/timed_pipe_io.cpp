#include "timed_pipe_io.h"

#include "protocol.h"
#include "unique_resource.h"

namespace {

// One overlapped ReadFile or WriteFile, waited for at most `waitMs`.
// Never returns while the operation can still touch `ov` or the buffer.
bool OneTransfer(bool write, HANDLE pipe, HANDLE lent, BYTE* buffer, DWORD length, DWORD waitMs, DWORD* moved)
{
    *moved = 0;
    // The transfer's own event, made only when the caller lends none.
    const UniqueHandle own(lent != nullptr ? nullptr : CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE event = lent != nullptr ? lent : own.get();
    if (event == nullptr) {
        return false;
    }
    OVERLAPPED ov{};
    // ReadFile and WriteFile reset the event as they start.
    ov.hEvent = event;
    const BOOL done = write ? WriteFile(pipe, buffer, length, nullptr, &ov)
                            : ReadFile(pipe, buffer, length, nullptr, &ov);
    if (done) {
        // Completed at once; the count is in the record.
        DWORD n = 0;
        if (!GetOverlappedResult(pipe, &ov, &n, FALSE)) {
            return false;
        }
        *moved = n;
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    const DWORD wait = WaitForSingleObject(event, waitMs);
    if (wait == WAIT_OBJECT_0) {
        DWORD n = 0;
        if (!GetOverlappedResult(pipe, &ov, &n, FALSE)) {
            return false;
        }
        *moved = n;
        return true;
    }
    CancelIo(pipe);
    // The cancelled operation may still complete into the buffer; wait for
    // its end before `ov` and the buffer go out of scope.
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &ov, &ignored, TRUE);
    SetLastError(wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED);
    return false;
}

bool Transfer(bool write, HANDLE pipe, HANDLE event, BYTE* buffer, uint32_t length, uint32_t* transferred)
{
    uint32_t total = 0;
    const ULONGLONG start = GetTickCount64();
    bool ok = true;
    while (total < length) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= kPipeIoTimeoutMs) {
            SetLastError(ERROR_TIMEOUT);
            ok = false;
            break;
        }
        DWORD moved = 0;
        if (!OneTransfer(write, pipe, event, buffer + total, length - total,
                         static_cast<DWORD>(kPipeIoTimeoutMs - elapsed), &moved)) {
            ok = false;
            break;
        }
        if (moved == 0) {
            // A completed transfer of nothing would repeat forever.
            SetLastError(ERROR_BROKEN_PIPE);
            ok = false;
            break;
        }
        total += moved;
    }
    if (transferred != nullptr) {
        *transferred = total;
    }
    return ok;
}

}  // namespace

bool TimedPipeRead(HANDLE pipe, void* buffer, uint32_t length, uint32_t* transferred, HANDLE event)
{
    return Transfer(false, pipe, event, static_cast<BYTE*>(buffer), length, transferred);
}

bool TimedPipeReadSome(HANDLE pipe, void* buffer, uint32_t capacity, uint32_t* transferred, HANDLE event,
                       DWORD waitMs)
{
    *transferred = 0;
    DWORD moved = 0;
    if (!OneTransfer(false, pipe, event, static_cast<BYTE*>(buffer), capacity, waitMs, &moved)) {
        return false;
    }
    if (moved == 0) {
        SetLastError(ERROR_BROKEN_PIPE);
        return false;
    }
    *transferred = moved;
    return true;
}

bool TimedPipeWrite(HANDLE pipe, const void* buffer, uint32_t length, uint32_t* transferred, HANDLE event)
{
    // WriteFile only reads the buffer.
    return Transfer(true, pipe, event, static_cast<BYTE*>(const_cast<void*>(buffer)), length, transferred);
}
