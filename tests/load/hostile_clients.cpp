#include "hostile_clients.h"

#include "protocol.h"
#include "unique_resource.h"
#include "wire_client.h"
#include "wire_codec.h"

namespace zt {
namespace {

// Reads what is there to read (the hello); false when the pipe is gone.
bool ReadSome(HANDLE pipe)
{
    BYTE buffer[64];
    DWORD got = 0;
    return ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0;
}

}  // namespace

HostileClients::HostileClients(Hostility kind, unsigned count) : kind_(kind), outcomes_(count)
{
    threads_.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        threads_.emplace_back(&HostileClients::Run, this, i);
    }
}

HostileClients::~HostileClients()
{
    Join();
}

bool HostileClients::WaitConnected(DWORD timeoutMs)
{
    const ULONGLONG until = GetTickCount64() + timeoutMs;
    while (attempted_.load() < outcomes_.size()) {
        if (GetTickCount64() >= until) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

std::vector<HostileOutcome> HostileClients::Join()
{
    for (std::thread& t : threads_) {
        if (t.joinable()) {
            t.join();
        }
    }
    return outcomes_;
}

void HostileClients::Run(unsigned index)
{
    HostileOutcome& out = outcomes_[index];
    UniqueFile pipe(CreateFileW(kPipeNameW, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const ULONGLONG connectedAt = GetTickCount64();
    out.connected = static_cast<bool>(pipe);
    ++attempted_;
    if (!out.connected || !ReadSome(pipe.get())) {
        out.dropped = out.connected;
        return;
    }
    if (kind_ == Hostility::Silent) {
        // A second read waits for a hello that never comes; it ends when the
        // service drops the client, or at the hang guard.
        BYTE b = 0;
        DWORD got = 0;
        const ULONGLONG held = GetTickCount64() - connectedAt;
        const bool read = GuardedRead(pipe.get(), &b, 1, &got, held < kGiveUpMs ? kGiveUpMs - static_cast<DWORD>(held) : 0);
        const DWORD error = read ? 0 : GetLastError();
        out.heldMs = GetTickCount64() - connectedAt;
        out.dropped = !read && error != ERROR_OPERATION_ABORTED;
        return;
    }
    // Trickling: a valid client nonce length and nonce, then a proof length
    // and proof, one byte at a time.
    BYTE fields[8 + kClientNonceLength + kDigestLength] = {};
    PutU32(fields, kClientNonceLength);
    PutU32(fields + 4 + kClientNonceLength, kDigestLength);
    for (unsigned i = 0; i < sizeof fields; ++i) {
        Sleep(kTrickleIntervalMs);
        DWORD written = 0;
        if (!WriteFile(pipe.get(), fields + i, 1, &written, nullptr) || written != 1) {
            out.heldMs = GetTickCount64() - connectedAt;
            out.dropped = true;
            return;
        }
        if (GetTickCount64() - connectedAt >= kGiveUpMs) {
            break;
        }
    }
    out.heldMs = GetTickCount64() - connectedAt;
}

}  // namespace zt
