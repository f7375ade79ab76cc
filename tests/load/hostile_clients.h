// Local clients that try to hold the service's pipe instances: one that
// connects and says nothing, and one that sends a valid start of its proof
// a byte at a time, too slowly to finish it. Each runs on its own thread
// and records whether, and after how long, the service dropped it.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zt {

enum class Hostility { Silent, Trickling };

struct HostileOutcome {
    bool connected = false;  // it found a listening instance
    bool dropped = false;    // the service closed it before it gave up
    ULONGLONG heldMs = 0;    // from its connect until the drop (or until it gave up)
};

class HostileClients {
public:
    // Starts `count` clients of the kind, all connecting at once.
    HostileClients(Hostility kind, unsigned count);
    ~HostileClients();
    HostileClients(const HostileClients&) = delete;
    HostileClients& operator=(const HostileClients&) = delete;

    // True once every client has connected (or failed to).
    bool WaitConnected(DWORD timeoutMs);
    // Waits for every client to end: dropped by the service, or given up
    // after `giveUpMs` held (a hang guard, far beyond any deadline).
    std::vector<HostileOutcome> Join();

    static constexpr DWORD kGiveUpMs = 20000;
    // The trickle: one byte of fields 4 to 7 per interval, so the 72 bytes
    // would take 14.4 s, far past the handshake deadline.
    static constexpr DWORD kTrickleIntervalMs = 200;

private:
    void Run(unsigned index);

    Hostility kind_;
    std::vector<HostileOutcome> outcomes_;
    std::atomic<unsigned> attempted_{0};
    std::vector<std::thread> threads_;
};

}  // namespace zt
