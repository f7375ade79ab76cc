// The thread count of another process, sampled while a test runs, so that a
// suite can show that the service's threads do not grow with its clients.
#pragma once

#include <windows.h>

#include <atomic>
#include <thread>

namespace zt {

// Threads of process `pid` right now; 0 if it cannot be seen.
unsigned CountThreads(DWORD pid);

// Samples CountThreads(pid) every few milliseconds until Stop().
class ThreadSampler {
public:
    explicit ThreadSampler(DWORD pid);
    ~ThreadSampler();
    ThreadSampler(const ThreadSampler&) = delete;
    ThreadSampler& operator=(const ThreadSampler&) = delete;

    // Stops sampling; the highest count seen (0 if none could be taken).
    unsigned Stop();

private:
    DWORD pid_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> peak_{0};
    std::thread sampler_;
};

}  // namespace zt
