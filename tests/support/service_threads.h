// The thread count of another process, sampled while a test or the
// benchmark runs, so that they can show that the service's threads do not
// grow with its clients.
#pragma once

#include "unique_resource.h"

#include <windows.h>

#include <atomic>

namespace zt {

// Threads of process `pid` right now; 0 if it cannot be seen.
unsigned CountThreads(DWORD pid);

// Samples CountThreads(pid) every `intervalMs` on a thread of its own until
// Stop(). (A Win32 thread: the benchmark builds without std::thread too.)
class ThreadSampler {
public:
    explicit ThreadSampler(DWORD pid, DWORD intervalMs = 20);
    ~ThreadSampler();
    ThreadSampler(const ThreadSampler&) = delete;
    ThreadSampler& operator=(const ThreadSampler&) = delete;

    // Stops sampling; the highest count seen (0 if none could be taken).
    unsigned Stop();

private:
    static DWORD WINAPI Sample(void* self);

    DWORD pid_;
    DWORD intervalMs_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> peak_{0};
    UniqueHandle sampler_;
};

}  // namespace zt
